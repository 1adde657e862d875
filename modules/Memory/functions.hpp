// The Lua functions of the memory module, one source file per concern.
#pragma once

#include <lua.hpp>

namespace luamods::memory {

// blocks.cpp
int l_alloc(lua_State* L);
int l_free(lua_State* L);
int l_realloc(lua_State* L);
int l_count_allocations(lua_State* L);
int l_write(lua_State* L);
int l_read(lua_State* L);
int l_fill(lua_State* L);
int l_size(lua_State* L);

}  // namespace luamods::memory
