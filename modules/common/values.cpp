#include "common/values.hpp"

namespace luamods {

bool can_cross(lua_State* L, int index) noexcept
{
    switch (lua_type(L, index)) {
    case LUA_TNIL:
    case LUA_TBOOLEAN:
    case LUA_TNUMBER:
    case LUA_TSTRING:
    case LUA_TLIGHTUSERDATA: return true;
    default: return false;
    }
}

int copy_values(lua_State* L, int first, int last, Values& out)
{
    out.reserve(out.size() + static_cast<std::size_t>(last >= first ? last - first + 1 : 0));
    for (int i = first; i <= last; ++i) {
        switch (lua_type(L, i)) {
        case LUA_TNIL: out.emplace_back(std::monostate{}); break;
        case LUA_TBOOLEAN: out.emplace_back(lua_toboolean(L, i) != 0); break;
        case LUA_TNUMBER: out.emplace_back(lua_tonumber(L, i)); break;
        case LUA_TSTRING: {
            // A string value: lua_tolstring neither converts nor allocates.
            size_t n = 0;
            const char* s = lua_tolstring(L, i, &n);
            out.emplace_back(std::string(s, n));
            break;
        }
        case LUA_TLIGHTUSERDATA: out.emplace_back(Address{lua_touserdata(L, i)}); break;
        default: return i;
        }
    }
    return 0;
}

void push_values(lua_State* L, const Values& values)
{
    for (const Value& v : values) {
        if (const bool* b = std::get_if<bool>(&v))
            lua_pushboolean(L, *b);
        else if (const lua_Number* n = std::get_if<lua_Number>(&v))
            lua_pushnumber(L, *n);
        else if (const std::string* s = std::get_if<std::string>(&v))
            lua_pushlstring(L, s->data(), s->size());
        else if (const Address* a = std::get_if<Address>(&v))
            lua_pushlightuserdata(L, a->p);
        else
            lua_pushnil(L);
    }
}

}  // namespace luamods
