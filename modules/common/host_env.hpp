// The contract between a host program and the modules that hand it clean-up
// callbacks: the Lua registry field "_env" holds a userdata whose first 8
// bytes are the address of the host's HostEnv record, and the record's fifth
// pointer-sized slot (byte offset 32) is a function that takes a callback
// (no arguments, returns int) and keeps it, to call it later from any thread.
// The other slots are the host's own.  Written once here for the threads
// module and the test host built on it (which provide a record) and memory
// (which registers with it).
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <cstring>

namespace luamods {

using CleanupCallback = int (*)();

struct HostEnv {
    void* reserved[4];  // the host's own slots
    int (*register_cleanup)(CleanupCallback);
};
static_assert(offsetof(HostEnv, register_cleanup) == 32, "the clean-up slot is at byte offset 32");

inline constexpr const char* kHostEnvField = "_env";

// The record L's "_env" points at, or null when there is none (or it is not
// a userdata of at least 8 bytes).  Leaves the stack as it was; raises only
// for lack of memory.
inline HostEnv* host_env_of(lua_State* L)
{
    lua_getfield(L, LUA_REGISTRYINDEX, kHostEnvField);
    void* record = nullptr;
    if (lua_type(L, -1) == LUA_TUSERDATA && lua_objlen(L, -1) >= sizeof record)
        std::memcpy(&record, lua_touserdata(L, -1), sizeof record);
    lua_pop(L, 1);
    return static_cast<HostEnv*>(record);
}

}  // namespace luamods
