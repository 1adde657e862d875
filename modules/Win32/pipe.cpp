// Byte streams: peek and read never wait for data, write pushes a whole
// string, stdin_state looks at the process's own standard input.

#include <string>
#include <utility>

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/messages.hpp"

namespace luamods::win32 {
namespace {

// The most one WriteFile call is given: its count is 32-bit.
constexpr std::size_t kMaxWriteChunk = 0x7FFFFFF0;

}  // namespace

int l_peek(lua_State* L)
{
    HANDLE h = check_handle_arg(L, 1);
    DWORD available = 0;
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr))
        return push_windows_error(L, GetLastError());
    lua_pushinteger(L, static_cast<lua_Integer>(available));
    return 1;
}

int l_read(lua_State* L)
{
    HANDLE h = check_handle_arg(L, 1);
    // max saturates: 2^32 or more (+inf included) caps nothing, -inf is negative.
    const lua_Integer max = opt_saturated_arg(L, 2, 65536, kIntegerTexts, nullptr);
    if (max < 0)
        return luaL_error(L, "%s", kReadNegativeMax);
    return respond(L, kWin32, [&](Reply& reply) {
        // Peeking first is what keeps read from ever waiting, and it is
        // where the end of the stream (109) shows.
        DWORD available = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr))
            return fail_with_windows_error(reply, GetLastError());
        if (max == 0 || available == 0)
            return reply.push_copy("", 0);
        const DWORD want =
            static_cast<unsigned long long>(max) < available ? static_cast<DWORD>(max) : available;
        std::string buffer(want, '\0');
        DWORD got = 0;
        if (!ReadFile(h, buffer.data(), want, &got, nullptr))
            return fail_with_windows_error(reply, GetLastError());
        reply.push_copy(buffer.data(), got);
    });
}

int l_write(lua_State* L)
{
    HANDLE h = check_handle_arg(L, 1);
    std::size_t length = 0;
    const char* data = luaL_checklstring(L, 2, &length);
    std::size_t total = 0;
    while (total < length) {
        const std::size_t rest = length - total;
        const DWORD chunk = static_cast<DWORD>(rest < kMaxWriteChunk ? rest : kMaxWriteChunk);
        DWORD written = 0;
        if (!WriteFile(h, data + total, chunk, &written, nullptr))
            return push_windows_error(L, GetLastError());
        if (written == 0)
            return push_windows_error(L, ERROR_WRITE_FAULT);
        total += written;
    }
    lua_pushinteger(L, static_cast<lua_Integer>(total));
    return 1;
}

int l_stdin_state(lua_State* L)
{
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    if (!valid_handle(h)) {
        lua_pushliteral(L, "eof");
        return 1;
    }
    if (GetFileType(h) != FILE_TYPE_PIPE) {
        lua_pushliteral(L, "other");
        return 1;
    }
    DWORD available = 0;
    if (PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) {
        if (available != 0)
            lua_pushliteral(L, "data");
        else
            lua_pushliteral(L, "idle");
    } else if (GetLastError() == ERROR_BROKEN_PIPE) {
        lua_pushliteral(L, "eof");
    } else {
        lua_pushliteral(L, "idle");
    }
    return 1;
}

}  // namespace luamods::win32
