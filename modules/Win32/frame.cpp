// luaopen_win32, the dispatch table and call_trampoline, and the conventions
// every function shares: the failure triple and handle arguments.

#include "Win32/frame.hpp"

#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include "Win32/functions.hpp"
#include "Win32/text.hpp"
#include "luamods_export.hpp"

namespace luamods::win32 {
namespace {

// The module table is filled in this order.
constexpr FunctionEntry kFunctions[] = {
    {"spawn", l_spawn},
    {"wait", l_wait},
    {"exit_code", l_exit_code},
    {"terminate", l_terminate},
    {"open_process", l_open_process},
    {"kill", l_kill},
    {"pid_alive", l_pid_alive},
    {"process_started_at", l_process_started_at},
    {"current_pid", l_current_pid},
    {"close", l_close},
    {"peek", l_peek},
    {"read", l_read},
    {"write", l_write},
    {"stdin_state", l_stdin_state},
    {"job_create", l_job_create},
    {"job_assign", l_job_assign},
    {"job_terminate", l_job_terminate},
    {"job_active_count", l_job_active_count},
    {"environ", l_environ},
    {"getenv", l_getenv},
    {"setenv", l_setenv},
    {"command_line", l_command_line},
    {"module_path", l_module_path},
    {"is_directory", l_is_directory},
    {"console", l_console},
    {"console_mode", l_console_mode},
    {"set_console_mode", l_set_console_mode},
    {"console_size", l_console_size},
    {"console_write", l_console_write},
    {"console_pending", l_console_pending},
    {"read_console_event", l_read_console_event},
    {"getwch", l_getwch},
    {"kbhit", l_kbhit},
    {"key_down", l_key_down},
    {"clipboard_get", l_clipboard_get},
    {"clipboard_set", l_clipboard_set},
};

static_assert(sizeof kFunctions / sizeof kFunctions[0] == 36);

}  // namespace

int call_trampoline(lua_State* L)
{
    const auto* entry = static_cast<const FunctionEntry*>(lua_touserdata(L, lua_upvalueindex(1)));
    if (!entry || !entry->function)
        return luaL_error(L, "win32: entry trampoline without a target");

    // Only C++ exceptions are caught here.  A Lua error raised by the function
    // is a foreign exception to this runtime: it passes through untouched.
    // The message is copied into plain bytes so that nothing of the exception
    // is alive when the Lua error is raised.
    char message[512];
    try {
        return entry->function(L);
    } catch (const std::exception& e) {
        std::snprintf(message, sizeof message, "win32.%s failed: %s", entry->name, e.what());
    } catch (...) {
        std::snprintf(message, sizeof message, "win32.%s failed: unknown C++ exception",
                      entry->name);
    }
    return luaL_error(L, "%s", message);
}

void fail_with_windows_error(Reply& reply, DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD units = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
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
        std::snprintf(fallback, sizeof fallback, "Windows error %lu",
                      static_cast<unsigned long>(code));
        text = fallback;
    }
    reply.fail(static_cast<lua_Integer>(code), text.data(), text.size());
}

int push_windows_error(lua_State* L, DWORD code)
{
    return respond(L, kWin32, [&](Reply& reply) { fail_with_windows_error(reply, code); });
}

namespace {

// 2^63 and 2^32, exactly.
constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo32 = 4294967296.0;

// The number at index cut towards zero; raises the host's argument error for
// a missing or non-numeric value and the module's for NaN.
double check_whole_number(lua_State* L, int index)
{
    const double n = luaL_checknumber(L, index);
    if (std::isnan(n))
        luaL_argerror(L, index, "integer expected, got NaN");
    return std::trunc(n);
}

void raise_infinite(lua_State* L, int index, double n)
{
    luaL_argerror(L, index, n > 0 ? "integer expected, got inf" : "integer expected, got -inf");
}

}  // namespace

HANDLE check_handle_arg(lua_State* L, int index)
{
    const double n = check_whole_number(L, index);
    if (std::isinf(n))
        raise_infinite(L, index, n);
    if (n >= kTwo63 || n < -kTwo63)
        luaL_argerror(L, index, "not a handle: beyond the 64-bit integer range");
    const auto value = static_cast<lua_Integer>(n);
    if (value == 0 || value == -1)
        luaL_argerror(L, index, kNotAHandle);
    return to_handle(value);
}

lua_Integer check_saturated_arg(lua_State* L, int index)
{
    const double n = check_whole_number(L, index);
    if (n >= kTwo63)
        return INT64_MAX;
    if (n < -kTwo63)
        return INT64_MIN;
    return static_cast<lua_Integer>(n);
}

lua_Integer opt_saturated_arg(lua_State* L, int index, lua_Integer fallback)
{
    return lua_isnoneornil(L, index) ? fallback : check_saturated_arg(L, index);
}

DWORD check_low32_arg(lua_State* L, int index)
{
    const double n = check_whole_number(L, index);
    if (std::isinf(n))
        raise_infinite(L, index, n);
    // fmod is exact, and so is the sum: the remainder is an integer below 2^32.
    double low = std::fmod(n, kTwo32);
    if (low < 0)
        low += kTwo32;
    return static_cast<DWORD>(low);
}

DWORD opt_low32_arg(lua_State* L, int index, DWORD fallback)
{
    return lua_isnoneornil(L, index) ? fallback : check_low32_arg(L, index);
}

void check_no_zero_byte(lua_State* L, const char* function, const char* what, const char* text,
                        std::size_t length)
{
    if (has_zero_byte(text, length))
        luaL_error(L, "win32.%s: %s contains a zero byte", function, what);
}

}  // namespace luamods::win32

LUAMODS_EXPORT int luaopen_win32(lua_State* L)
{
    using namespace luamods::win32;
    luamods::open_boundary(L);
    lua_createtable(L, 0, 0);
    for (const FunctionEntry& entry : kFunctions) {
        lua_pushlightuserdata(L, const_cast<FunctionEntry*>(&entry));
        lua_pushcclosure(L, call_trampoline, 1);
        lua_setfield(L, -2, entry.name);
    }
    lua_pushlstring(L, "win32", 5);
    lua_setfield(L, -2, "_NAME");
    lua_pushinteger(L, 1);
    lua_setfield(L, -2, "_ABI");
    return 1;
}
