// The conventions every win32 function shares: the failure triple and the
// integer and handle readers.

#include "Win32/frame.hpp"

#include <cstdio>
#include <utility>

#include "Win32/messages.hpp"
#include "Win32/text.hpp"
#include "common/args.hpp"

namespace luamods::win32 {
void fail_with_windows_error(Reply& reply, DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD units = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                       reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    try {
        if (units != 0 && buffer)
            text = wide_to_utf8(buffer, units);
    } catch (...) {
        LocalFree(buffer);
        throw;
    }
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    if (text.empty()) {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, kWindowsErrorFallback,
                      static_cast<unsigned long>(code));
        text = fallback;
    }
    reply.fail(static_cast<lua_Integer>(code), text.data(), text.size());
}

int push_windows_error(lua_State* L, DWORD code)
{
    return respond(L, kWin32, [&](Reply& reply) { fail_with_windows_error(reply, code); });
}

int push_true_or_last_error(lua_State* L, BOOL ok)
{
    if (!ok)
        return push_windows_error(L, GetLastError());
    lua_pushboolean(L, 1);
    return 1;
}

int push_dword_or_last_error(lua_State* L, HANDLE h, BOOL(WINAPI* get)(HANDLE, DWORD*))
{
    DWORD value = 0;
    if (!get(h, &value))
        return push_windows_error(L, GetLastError());
    lua_pushinteger(L, static_cast<lua_Integer>(value));
    return 1;
}

HANDLE check_handle_arg(lua_State* L, int index)
{
    const double n = check_finite_arg(L, index, kIntegerTexts, nullptr);
    if (n >= kTwo63 || n < -kTwo63)
        luaL_argerror(L, index, kHandleBeyondRange);
    const auto value = static_cast<lua_Integer>(n);
    if (value == 0 || value == -1)
        luaL_argerror(L, index, kNotAHandle);
    return to_handle(value);
}

void check_no_zero_byte(lua_State* L, const char* function, const char* what, const char* text,
                        std::size_t length)
{
    if (has_zero_byte(text, length))
        luaL_error(L, kZeroByte, function, what);
}

const char* check_name_arg(lua_State* L, int index, std::size_t& length, const char* empty,
                           const char* function, const char* what)
{
    const char* text = luaL_checklstring(L, index, &length);
    if (length == 0)
        luaL_error(L, "%s", empty);
    check_no_zero_byte(L, function, what, text, length);
    return text;
}

}  // namespace luamods::win32
