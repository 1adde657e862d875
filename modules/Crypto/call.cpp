#include "Crypto/call.hpp"

namespace luamods::crypto {

namespace {

// Registry slot (keyed by this object's address) that carries a string out
// of the protected call, which can return no results of its own.
char g_result_slot;

struct PushRequest {
    const void* bytes;
    std::size_t size;
};

int push_protected(lua_State* L)
{
    const auto* req = static_cast<const PushRequest*>(lua_touserdata(L, 1));
    lua_pushlightuserdata(L, &g_result_slot);
    lua_pushlstring(L, static_cast<const char*>(req->bytes), req->size);
    lua_rawset(L, LUA_REGISTRYINDEX);
    return 0;
}

}  // namespace

void Reply::push(const void* bytes, std::size_t n) noexcept
{
    if (error_)
        return;
    PushRequest req{bytes, n};
    // lua_cpcall creates its function object inside the protected frame, so
    // an allocation failure anywhere in it comes back as a status.
    if (lua_cpcall(L_, &push_protected, &req) != 0) {
        lua_pop(L_, 1);
        error_ = "out of memory";
        return;
    }
    // Taking the string out and clearing an existing key allocate nothing.
    lua_pushlightuserdata(L_, &g_result_slot);
    lua_rawget(L_, LUA_REGISTRYINDEX);
    lua_pushlightuserdata(L_, &g_result_slot);
    lua_pushnil(L_);
    lua_rawset(L_, LUA_REGISTRYINDEX);
    ++pushed_;
}

int Reply::finish()
{
    if (error_)
        return luaL_error(L_, "%s", error_);
    if (failure_) {
        lua_pop(L_, pushed_);
        lua_pushnil(L_);
        lua_pushstring(L_, failure_);
        return 2;
    }
    return pushed_;
}

}  // namespace luamods::crypto
