#include "common/reply.hpp"

#include <cstdarg>
#include <cstring>

namespace luamods {

namespace {

// Registry key (this object's address) of the state's pusher: one C function
// per state, made by luaopen and kept, so that a protected push costs a call
// and allocates nothing but its value.
char g_pusher_key;

struct PushRequest {
    void (*push)(lua_State*, const void*);
    const void* data;
};

// The pusher serves only the request of the push in progress: its upvalue
// holds that request's address while push_protected runs, so a script that
// finds the pusher in the registry (through the debug library) cannot make it
// read or call through an address it chose.
int pusher(lua_State* L)
{
    auto* current = static_cast<const void**>(lua_touserdata(L, lua_upvalueindex(1)));
    const void* p = lua_touserdata(L, 1);
    if (!current || !p || p != *current)
        return luaL_argerror(L, 1, "no push in progress");
    *current = nullptr;  // once
    const auto* req = static_cast<const PushRequest*>(p);
    req->push(L, req->data);
    return 1;
}

struct ByteRange {
    const void* bytes;
    std::size_t size;
};

void push_range(lua_State* L, const void* data)
{
    const auto* r = static_cast<const ByteRange*>(data);
    lua_pushlstring(L, static_cast<const char*>(r->bytes), r->size);
}

// The top value takes the place of the `below` values under it.
void keep_only_top(lua_State* L, int below) noexcept
{
    if (below > 0) {
        lua_replace(L, -(below + 1));
        lua_pop(L, below - 1);
    }
}

}  // namespace

void open_boundary(lua_State* L)
{
    lua_pushlightuserdata(L, &g_pusher_key);
    lua_rawget(L, LUA_REGISTRYINDEX);
    const bool present = lua_type(L, -1) == LUA_TFUNCTION;
    lua_pop(L, 1);
    if (present)
        return;
    lua_pushlightuserdata(L, &g_pusher_key);
    auto* current = static_cast<const void**>(lua_newuserdata(L, sizeof(const void*)));
    *current = nullptr;
    lua_pushcclosure(L, &pusher, 1);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

bool push_protected(lua_State* L, void (*push)(lua_State*, const void*), const void* data) noexcept
{
    // Looking the pusher up and calling it with a light userdata allocate
    // nothing: only what `push` makes can fail, and lua_pcall catches that.
    // (Should a script have removed the pusher from the registry, calling
    // nil fails the same protected way.)
    PushRequest req{push, data};
    lua_pushlightuserdata(L, &g_pusher_key);
    lua_rawget(L, LUA_REGISTRYINDEX);
    const void** current = nullptr;
    if (lua_getupvalue(L, -1, 1)) {
        current = static_cast<const void**>(lua_touserdata(L, -1));
        lua_pop(L, 1);
    }
    lua_pushlightuserdata(L, &req);
    // A push may run a finalizer that pushes too: the outer request is
    // restored after the inner one.
    const void* outer = current ? *current : nullptr;
    if (current)
        *current = &req;
    const bool pushed = lua_pcall(L, 1, 1, 0) == 0;
    if (current)
        *current = outer;
    return pushed;
}

bool push_bytes(lua_State* L, const void* bytes, std::size_t n) noexcept
{
    ByteRange range{bytes, n};
    return push_protected(L, &push_range, &range);
}

void Reply::pushed(bool made) noexcept
{
    if (made) {
        ++pushed_;
        return;
    }
    // Lua's error object takes the place of the results.
    keep_only_top(L_, pushed_);
    pushed_ = 0;
    lua_error_ = true;
}

void Reply::push_bytes(const void* bytes, std::size_t n) noexcept
{
    if (accepting())
        pushed(luamods::push_bytes(L_, bytes, n));
}

void Reply::push_copy(const void* bytes, std::size_t n) noexcept
{
    if (copy_at_ >= 0 || n > kCopyMax)
        return push_bytes(bytes, n);
    if (!accepting())
        return;
    std::memcpy(copy_, bytes, n);
    copy_size_ = n;
    copy_at_ = pushed_;
}

void Reply::push_with(void (*push)(lua_State*, const void*), const void* data) noexcept
{
    if (accepting())
        pushed(push_protected(L_, push, data));
}

void Reply::raise(const char* format, ...) noexcept
{
    va_list ap;
    va_start(ap, format);
    error_.vset(format, ap);
    va_end(ap);
}

void Reply::push_string(const char* text) noexcept { push_bytes(text, std::strlen(text)); }

void Reply::drop_results() noexcept
{
    lua_pop(L_, pushed_);
    pushed_ = 0;
}

void Reply::fail(lua_Integer code, const void* text, std::size_t n) noexcept
{
    if (!accepting())
        return;
    drop_results();
    lua_pushnil(L_);
    lua_pushinteger(L_, code);
    if (!luamods::push_bytes(L_, text, n)) {
        keep_only_top(L_, 2);
        lua_error_ = true;
        return;
    }
    pushed_ = 3;
    coded_ = true;
}

int Reply::finish_failed()
{
    if (lua_error_)
        return lua_error(L_);
    if (error_.present) {
        drop_results();
        raise_message(L_, error_);
    }
    if (failure_) {
        drop_results();
        lua_pushnil(L_);
        lua_pushstring(L_, failure_);
        return 2;
    }
    return pushed_;  // nil, code and the system's text
}

void raise_message(lua_State* L, const Message& message)
{
    luaL_error(L, "%s", message.text);
    __builtin_unreachable();
}

}  // namespace luamods
