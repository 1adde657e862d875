// The Lua functions of the win32 module, one source file per concern.
#pragma once

#include <lua.hpp>

namespace luamods::win32 {

// spawn.cpp
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

}  // namespace luamods::win32
