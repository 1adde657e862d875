// The Lua functions of the win32 module, one source file per concern, and
// the row through which module.cpp's table calls each of them.
#pragma once

#include <lua.hpp>

namespace luamods::win32 {

struct FunctionEntry {
    const char* name;
    lua_CFunction function;
};

// The C closure of every module function; upvalue 1 points at its row.
// Turns a C++ exception that escapes the function into a Lua error.
int call_trampoline(lua_State* L);

// spawn.cpp (spawn_request.cpp, spawn_stdio.cpp)
int l_spawn(lua_State* L);

// process.cpp
int l_wait(lua_State* L);
int l_exit_code(lua_State* L);
int l_terminate(lua_State* L);
int l_open_process(lua_State* L);
int l_kill(lua_State* L);
int l_pid_alive(lua_State* L);
int l_process_started_at(lua_State* L);
int l_current_pid(lua_State* L);
int l_close(lua_State* L);

// pipe.cpp
int l_peek(lua_State* L);
int l_read(lua_State* L);
int l_write(lua_State* L);
int l_stdin_state(lua_State* L);

// job.cpp
int l_job_create(lua_State* L);
int l_job_assign(lua_State* L);
int l_job_terminate(lua_State* L);
int l_job_active_count(lua_State* L);

// environment.cpp
int l_environ(lua_State* L);
int l_getenv(lua_State* L);
int l_setenv(lua_State* L);
int l_command_line(lua_State* L);
int l_module_path(lua_State* L);
int l_is_directory(lua_State* L);

// console.cpp
int l_console(lua_State* L);
int l_console_mode(lua_State* L);
int l_set_console_mode(lua_State* L);
int l_console_size(lua_State* L);
int l_console_write(lua_State* L);
int l_console_pending(lua_State* L);
int l_read_console_event(lua_State* L);
int l_getwch(lua_State* L);
int l_kbhit(lua_State* L);
int l_key_down(lua_State* L);

// clipboard.cpp
int l_clipboard_get(lua_State* L);
int l_clipboard_set(lua_State* L);

}  // namespace luamods::win32
