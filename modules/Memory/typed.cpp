// Typed access to block bytes: 32-bit integers and doubles at any offset in
// native byte order, and sequentially consistent 32-bit atomics at offsets
// that are multiples of 4 (their work is in ops.cpp).  Integers are stored as
// their low 32 bits and read back sign-extended.

#include <cstdint>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/messages.hpp"
#include "Memory/ops.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

namespace {

std::uint32_t low32(std::uint64_t v) { return static_cast<std::uint32_t>(v); }

}  // namespace

int l_get_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    Outcome out;
    raise_on_failure(L, op_get_i32(state_context(L), p, offset, out), p, out);
    lua_pushinteger(L, out.i32);
    return 1;
}

int l_set_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    std::uint32_t v = low32(check_wrapped_arg(L, 3, "value"));
    Outcome out;
    raise_on_failure(L, op_set_i32(state_context(L), p, offset, v, out), p, out);
    return 0;
}

int l_get_f64(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    Outcome out;
    raise_on_failure(L, op_get_f64(state_context(L), p, offset, out), p, out);
    lua_pushnumber(L, out.f64);
    return 1;
}

int l_set_f64(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    double v = luaL_checknumber(L, 3);
    Outcome out;
    raise_on_failure(L, op_set_f64(state_context(L), p, offset, v, out), p, out);
    return 0;
}

int l_atomic_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    Outcome out;
    raise_on_failure(L, op_atomic_i32(state_context(L), p, offset, out), p, out);
    lua_pushinteger(L, out.i32);
    return 1;
}

int l_atomic_set_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t v = low32(check_wrapped_arg(L, 3, "value"));
    Outcome out;
    raise_on_failure(L, op_atomic_set_i32(state_context(L), p, offset, v, out), p, out);
    return 0;
}

int l_atomic_add_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t delta = low32(check_wrapped_arg(L, 3, "delta"));
    Outcome out;
    raise_on_failure(L, op_atomic_add_i32(state_context(L), p, offset, delta, out), p, out);
    lua_pushinteger(L, out.i32);
    return 1;
}

int l_cas_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t expected = low32(check_wrapped_arg(L, 3, "expected value"));
    std::uint32_t desired = low32(check_wrapped_arg(L, 4, "new value"));
    Outcome out;
    raise_on_failure(L, op_cas_i32(state_context(L), p, offset, expected, desired, out), p, out);
    lua_pushboolean(L, out.i32);
    return 1;
}

}  // namespace luamods::memory
