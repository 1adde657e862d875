// The thread object a script holds: a full userdata that owns one running
// (or finished) thread and its outcome until join.
//
// Collected unjoined: the object hands its thread to the Lua state that
// started it, which joins it as soon as it has finished (at a later start)
// or, at the latest, when the state closes.  A collection step never waits
// for a thread (a worker dropped while the script still feeds it must not
// stop the script), and nothing the thread uses (its job, this library, the
// libraries its state loaded, the addresses it was given) can go away while
// it runs: closing a state waits for every thread it started.
#pragma once

#include <lua.hpp>

namespace luamods::threads {

// Creates the thread object's metatable in L (once per state).
void register_thread_metatable(lua_State* L);

int l_start(lua_State* L);
int l_join(lua_State* L);
int l_done(lua_State* L);
int l_status(lua_State* L);

}  // namespace luamods::threads
