#include "Crypto/call.hpp"

namespace luamods::crypto {

namespace {

// Registry key (this object's address) of the pusher: one C function per Lua
// state, made at the first call that needs it and kept, so that a protected
// push costs a call and not a new function object each time.
char g_pusher_key;

struct PushRequest {
    const void* bytes;
    std::size_t size;
};

// Runs under lua_pcall: its only possible error is exhausted memory.
int push_protected(lua_State* L)
{
    const auto* req = static_cast<const PushRequest*>(lua_touserdata(L, 1));
    lua_pushlstring(L, static_cast<const char*>(req->bytes), req->size);
    return 1;
}

}  // namespace

// A C function starts with LUA_MINSTACK (20) free stack slots; a call uses
// at most five: the pusher, its copy and argument, and two results.
void Reply::prepare()
{
    lua_pushlightuserdata(L_, &g_pusher_key);
    lua_rawget(L_, LUA_REGISTRYINDEX);
    if (lua_isnil(L_, -1)) {
        lua_pop(L_, 1);
        lua_pushcfunction(L_, &push_protected);
        lua_pushlightuserdata(L_, &g_pusher_key);
        lua_pushvalue(L_, -2);
        lua_rawset(L_, LUA_REGISTRYINDEX);
    }
    pusher_ = lua_gettop(L_);
}

void Reply::push(const void* bytes, std::size_t n) noexcept
{
    if (error_)
        return;
    PushRequest req{bytes, n};
    // The stack has room (prepare), and calling an existing function with a
    // light userdata allocates nothing: only the string can fail.
    lua_pushvalue(L_, pusher_);
    lua_pushlightuserdata(L_, &req);
    if (lua_pcall(L_, 1, 1, 0) != 0) {
        lua_pop(L_, 1);
        error_ = "out of memory";
        return;
    }
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
