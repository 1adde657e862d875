// The win32 module's entry: luaopen_win32, the table of its functions (in
// the order the module table is filled) and call_trampoline, the closure
// every one of them is called through.

#include <cstdio>
#include <exception>

#include "Win32/functions.hpp"
#include "Win32/messages.hpp"
#include "common/reply.hpp"
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
        return luaL_error(L, "%s", kNoTarget);

    // Only C++ exceptions are caught here.  A Lua error raised by the function
    // is a foreign exception to this runtime: it passes through untouched.
    // The message is copied into plain bytes so that nothing of the exception
    // is alive when the Lua error is raised.
    char message[512];
    try {
        return entry->function(L);
    } catch (const std::exception& e) {
        std::snprintf(message, sizeof message, kCxxFailed, entry->name, e.what());
    } catch (...) {
        std::snprintf(message, sizeof message, kCxxUnknown, entry->name);
    }
    return luaL_error(L, "%s", message);
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
