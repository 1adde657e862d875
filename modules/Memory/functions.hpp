// The Lua functions of the memory module, one source file per concern.
#pragma once

#include <lua.hpp>

namespace luamods::memory {

// blocks.cpp
int l_alloc(lua_State* L);
int l_shared(lua_State* L);
int l_free(lua_State* L);
int l_realloc(lua_State* L);
int l_count_allocations(lua_State* L);
int l_write(lua_State* L);
int l_read(lua_State* L);
int l_fill(lua_State* L);
int l_size(lua_State* L);

// typed.cpp
int l_get_i32(lua_State* L);
int l_set_i32(lua_State* L);
int l_get_f64(lua_State* L);
int l_set_f64(lua_State* L);
int l_atomic_i32(lua_State* L);
int l_atomic_set_i32(lua_State* L);
int l_atomic_add_i32(lua_State* L);
int l_cas_i32(lua_State* L);

// seqlock.cpp
int l_seq_write(lua_State* L);
int l_seq_read(lua_State* L);

// shared.cpp
int l_retain(lua_State* L);
int l_release(lua_State* L);
int l_refcount(lua_State* L);
int l_is_shared(lua_State* L);

}  // namespace luamods::memory
