// The host record this library provides, as an application that embeds
// LuaJIT would: a HostEnv record reached through the Lua registry field
// "_env" (a userdata whose first 8 bytes are the record's address), whose
// fifth pointer-sized slot (byte offset 32) registers clean-up callbacks that
// modules such as memory hand over at their first open.  The callbacks are
// run on demand by threads.cleanup(), from any thread.
#pragma once

#include <lua.hpp>

#include "common/host_env.hpp"

namespace luamods::threads {

using luamods::CleanupCallback;
using luamods::HostEnv;

// This library's record: one per process, for as long as the process lives.
HostEnv* own_record() noexcept;

// Runs every callback registered with own_record(), in the order they were
// registered; returns how many ran.
int run_cleanups() noexcept;

// The record that L's "_env" points at, or null when L has none.  Raises
// only for lack of memory.
void* state_record(lua_State* L);

// Stores a "_env" userdata that points at `record` in L's registry.  Raises
// only for lack of memory.
void install_record(lua_State* L, void* record);

}  // namespace luamods::threads
