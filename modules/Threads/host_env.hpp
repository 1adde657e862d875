// The host record this library provides, as an application that embeds
// LuaJIT would (the contract is common/host_env.hpp).  The callbacks that
// modules register with it are run on demand by threads.cleanup(), from any
// thread.
#pragma once

#include "common/host_env.hpp"

namespace luamods::threads {

using luamods::CleanupCallback;
using luamods::HostEnv;

// This library's record: one per process, for as long as the process lives.
HostEnv* own_record() noexcept;

// Runs every callback registered with own_record(), in the order they were
// registered; returns how many ran.
int run_cleanups() noexcept;

// How many callbacks are registered with own_record().
int registered_cleanups() noexcept;

// Stores a "_env" userdata that points at `record` in L's registry.  Raises
// only for lack of memory.
void install_record(lua_State* L, void* record);

}  // namespace luamods::threads
