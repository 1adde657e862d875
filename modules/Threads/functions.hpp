// The Lua functions of threads: `threads.<name>` is the C function
// `l_<name>`, listed under its source file; the table is built in
// module.cpp.  The test host builds its `host` table on the same functions.
#pragma once

#include <lua.hpp>

namespace luamods::threads {

// thread_object.cpp: starting a thread, its outcome, its status.
int l_start(lua_State* L);
int l_join(lua_State* L);
int l_done(lua_State* L);
int l_status(lua_State* L);
// start, with `with_record` false opening the new state without a host
// record (the test host's start {env = false}); l_start passes true.
int start_thread(lua_State* L, bool with_record);

// host_env.cpp: runs the callbacks registered with this library's record.
int l_cleanup(lua_State* L);

// clock.cpp: what scripts on several threads use to pace themselves.
int l_sleep(lua_State* L);
int l_clock(lua_State* L);
int l_cores(lua_State* L);

}  // namespace luamods::threads
