// Typed access to block bytes: 32-bit integers and doubles at any offset in
// native byte order, and sequentially consistent 32-bit atomics at offsets
// that are multiples of 4.  Integers are stored as their low 32 bits and read
// back sign-extended.

#include <atomic>
#include <cstdint>
#include <cstring>

#include "Memory/args.hpp"
#include "Memory/atomic_i32.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

namespace {

std::uint32_t low32(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v);
}

lua_Integer sign_extended(std::uint32_t v)
{
    return static_cast<std::int32_t>(v);
}

// Runs `op(bytes at offset)` on [offset, offset + width) of block p while a
// BlockAccess holds the block; raises the access's message on failure.
template <class Op>
void with_element(lua_State* L, void* p, std::uint64_t offset, std::uint64_t width, Op&& op)
{
    HazardContext* ctx = state_context(L);
    run_then_raise(L, [&](ErrorText& err) {
        BlockAccess access;
        if (access.acquire(ctx, p, offset, width, err))
            op(access.bytes() + offset);
    });
}

}  // namespace

// Plain loads and stores: memcpy, as the offset need not be aligned.

int l_get_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    std::uint32_t v = 0;
    with_element(L, p, offset, 4, [&](unsigned char* e) { std::memcpy(&v, e, 4); });
    lua_pushinteger(L, sign_extended(v));
    return 1;
}

int l_set_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    std::uint32_t v = low32(check_wrapping_integer_arg(L, 3, "value"));
    with_element(L, p, offset, 4, [&](unsigned char* e) { std::memcpy(e, &v, 4); });
    return 0;
}

int l_get_f64(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    double v = 0;
    with_element(L, p, offset, 8, [&](unsigned char* e) { std::memcpy(&v, e, 8); });
    lua_pushnumber(L, v);
    return 1;
}

int l_set_f64(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    double v = luaL_checknumber(L, 3);
    with_element(L, p, offset, 8, [&](unsigned char* e) { std::memcpy(e, &v, 8); });
    return 0;
}

// Atomics: the offset is a multiple of 4 and blocks come from the heap, so the
// element is aligned for a 32-bit atomic.

int l_atomic_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t v = 0;
    with_element(L, p, offset, 4, [&](unsigned char* e) { v = atomic_u32(e).load(); });
    lua_pushinteger(L, sign_extended(v));
    return 1;
}

int l_atomic_set_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t v = low32(check_wrapping_integer_arg(L, 3, "value"));
    with_element(L, p, offset, 4, [&](unsigned char* e) { atomic_u32(e).exchange(v); });
    return 0;
}

int l_atomic_add_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t delta = low32(check_wrapping_integer_arg(L, 3, "delta"));
    std::uint32_t now = 0;
    // Unsigned arithmetic wraps at 2^32; the result is read back signed.
    with_element(L, p, offset, 4,
                 [&](unsigned char* e) { now = atomic_u32(e).fetch_add(delta) + delta; });
    lua_pushinteger(L, sign_extended(now));
    return 1;
}

int l_cas_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::uint64_t offset = check_atomic_offset_arg(L, 2);
    std::uint32_t expected = low32(check_wrapping_integer_arg(L, 3, "expected value"));
    std::uint32_t desired = low32(check_wrapping_integer_arg(L, 4, "new value"));
    bool swapped = false;
    with_element(L, p, offset, 4, [&](unsigned char* e) {
        swapped = atomic_u32(e).compare_exchange_strong(expected, desired);
    });
    lua_pushboolean(L, swapped);
    return 1;
}

}  // namespace luamods::memory
