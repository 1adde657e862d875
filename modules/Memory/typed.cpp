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

// The reads and the i32 stores (set, add) differ only in how the offset
// (argument 2) is checked (any offset, or a multiple of 4 for the atomics),
// in the operation and in how a result is pushed: one template each, whose
// parameters are constants the compiler calls directly.
using OffsetCheck = std::uint64_t (*)(lua_State* L, int index);
using ReadOp = Status (*)(HazardContext* ctx, const void* p, std::uint64_t offset,
                          Outcome& out) noexcept;
using StoreI32Op = Status (*)(HazardContext* ctx, const void* p, std::uint64_t offset,
                              std::uint32_t value, Outcome& out) noexcept;
using PushResult = void (*)(lua_State* L, const Outcome& out);

void push_i32(lua_State* L, const Outcome& out) { lua_pushinteger(L, out.i32); }

void push_f64(lua_State* L, const Outcome& out) { lua_pushnumber(L, out.f64); }

template <OffsetCheck check_offset, ReadOp op, PushResult push>
int read_value(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset(L, 2);
    Outcome out;
    raise_on_failure(L, op(state_context(L), p, offset, out), p, out);
    push(L, out);
    return 1;
}

constexpr char kValue[] = "value";
constexpr char kDelta[] = "delta";

// `what` names argument 3 in its messages; `push`, when given, pushes the
// result (the new value of an add).
template <OffsetCheck check_offset, StoreI32Op op, const char* what, PushResult push = nullptr>
int store_i32(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset(L, 2);
    std::uint32_t v = low32(check_wrapped_arg(L, 3, what));
    Outcome out;
    raise_on_failure(L, op(state_context(L), p, offset, v, out), p, out);
    if constexpr (push != nullptr) {
        push(L, out);
        return 1;
    } else {
        return 0;
    }
}

}  // namespace

int l_get_i32(lua_State* L) { return read_value<check_offset_arg, op_get_i32, push_i32>(L); }

int l_set_i32(lua_State* L) { return store_i32<check_offset_arg, op_set_i32, kValue>(L); }

int l_get_f64(lua_State* L) { return read_value<check_offset_arg, op_get_f64, push_f64>(L); }

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
    return read_value<check_atomic_offset_arg, op_atomic_i32, push_i32>(L);
}

int l_atomic_set_i32(lua_State* L)
{
    return store_i32<check_atomic_offset_arg, op_atomic_set_i32, kValue>(L);
}

int l_atomic_add_i32(lua_State* L)
{
    return store_i32<check_atomic_offset_arg, op_atomic_add_i32, kDelta, push_i32>(L);
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
