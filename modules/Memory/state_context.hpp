// The hazard context of a Lua state (hazard.hpp): made when the state first
// opens memory or memory.queue, kept in its registry, and handed to every
// function of both modules as their first upvalue, so that finding it costs
// one upvalue read.  It goes back to the pool when the state closes; a
// function that runs after that (a finalizer during lua_close) finds null and
// borrows a context for the call.
#pragma once

#include <lua.hpp>

#include "Memory/hazard.hpp"

namespace luamods::memory {

// Pushes the state's context userdata, making it on first use.
void push_state_context(lua_State* L);

// Sets fn(L) with the context as upvalue into the table at the top.
void set_context_function(lua_State* L, int context_index, const char* name, lua_CFunction fn);

inline HazardContext* state_context(lua_State* L) noexcept
{
    auto* slot = static_cast<HazardContext**>(lua_touserdata(L, lua_upvalueindex(1)));
    return slot ? *slot : nullptr;
}

}  // namespace luamods::memory
