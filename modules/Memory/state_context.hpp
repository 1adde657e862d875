// The hazard context of a Lua state (hazard.hpp): made when the state first
// opens memory or memory.queue, kept in its registry, and handed to every
// function of both modules as their first upvalue, so that finding it costs
// one upvalue read.  It goes back to the pool when the state closes; a
// function that runs after that (a finalizer during lua_close) finds null and
// borrows a context for the call.
#pragma once

#include <lua.hpp>

#include <cstddef>

#include "Memory/hazard.hpp"

namespace luamods::memory {

// Pushes the state's context userdata, making it on first use.
void push_state_context(lua_State* L);

// Pushes a new table of the n functions, each with the state's context as
// its upvalue: the table of memory and of memory.queue.
void push_context_functions(lua_State* L, const luaL_Reg* functions, std::size_t n);

template <std::size_t N>
void push_context_functions(lua_State* L, const luaL_Reg (&functions)[N])
{
    push_context_functions(L, functions, N);
}

inline HazardContext* state_context(lua_State* L) noexcept
{
    auto* slot = static_cast<HazardContext**>(lua_touserdata(L, lua_upvalueindex(1)));
    return slot ? *slot : nullptr;
}

}  // namespace luamods::memory
