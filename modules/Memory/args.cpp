#include "Memory/args.hpp"

#include <cstring>

#include "Memory/call.hpp"

namespace luamods::memory {

namespace {
constexpr int kLuaTypeCdata = 10;  // LuaJIT's type number for cdata

std::uint64_t cdata_payload_u64(lua_State* L, int index)
{
    std::uint64_t v = 0;
    std::memcpy(&v, lua_topointer(L, index), sizeof v);
    return v;
}
}  // namespace

void* check_pointer_arg(lua_State* L, int index, const char* message)
{
    int t = lua_type(L, index);
    if (t == LUA_TLIGHTUSERDATA)
        return lua_touserdata(L, index);
    if (t == kLuaTypeCdata)
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(cdata_payload_u64(L, index)));
    luaL_argerror(L, index, message);
    return nullptr;
}

std::uint64_t check_size_arg(lua_State* L, int index)
{
    if (lua_type(L, index) == kLuaTypeCdata)
        return cdata_payload_u64(L, index);
    lua_Integer n = luaL_checkinteger(L, index);
    if (n < 0)
        luaL_argerror(L, index, "size must not be negative");
    return static_cast<std::uint64_t>(n);
}

std::uint64_t check_nonnegative_arg(lua_State* L, int index, const char* message)
{
    lua_Integer n = luaL_checkinteger(L, index);
    if (n < 0)
        luaL_argerror(L, index, message);
    return static_cast<std::uint64_t>(n);
}

std::uint64_t check_atomic_offset_arg(lua_State* L, int index)
{
    std::uint64_t offset = check_offset_arg(L, index);
    if (offset % 4 != 0)
        luaL_argerror(L, index, "offset must be a multiple of 4 for an atomic i32 access");
    return offset;
}

namespace detail {
void raise(lua_State* L, const ErrorText& err)
{
    luaL_error(L, "%s", err.text);
    __builtin_unreachable();
}
}  // namespace detail

}  // namespace luamods::memory
