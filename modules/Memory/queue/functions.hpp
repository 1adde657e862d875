// The Lua functions of the memory.queue module (queue/functions.cpp).
#pragma once

#include <lua.hpp>

namespace luamods::memory {

// Lifecycle: make, delete, share.
int lq_new(lua_State* L);
int lq_shared(lua_State* L);
int lq_delete(lua_State* L);
int lq_retain(lua_State* L);
int lq_release(lua_State* L);
int lq_refcount(lua_State* L);

// Items: addresses, and strings packed into plain blocks.
int lq_enqueue(lua_State* L);
int lq_dequeue(lua_State* L);
int lq_wait_dequeue(lua_State* L);
int lq_len(lua_State* L);
int lq_drain_all(lua_State* L);
int lq_push(lua_State* L);
int lq_pop(lua_State* L);
int lq_wait_pop(lua_State* L);

}  // namespace luamods::memory
