// Argument readers shared by every entry point of memory and memory.queue.
// They raise Lua argument errors and are called before anything is acquired.
#pragma once

#include <lua.hpp>

#include <cstdint>

namespace luamods::memory {

inline constexpr const char* kBlockPointerExpected = "memory pointer expected";
inline constexpr const char* kQueuePointerExpected = "queue pointer expected";
inline constexpr const char* kPointerExpected = "pointer expected";

// Length that means "no range check" in a BlockAccess.
inline constexpr std::uint64_t kNoRangeCheck = ~std::uint64_t{0};

// A light userdata, or a cdata whose first 8 payload bytes are the address
// (pointer and 64-bit integer cdata).  Anything else raises `message`.
void* check_pointer_arg(lua_State* L, int index, const char* message);

// A cdata's first 8 payload bytes taken as unsigned, or a non-negative integer.
std::uint64_t check_size_arg(lua_State* L, int index);

// A plain integer (no cdata) that must not be negative; `message` names it:
// "offset must not be negative", "length must not be negative".
std::uint64_t check_nonnegative_arg(lua_State* L, int index, const char* message);

inline std::uint64_t check_offset_arg(lua_State* L, int index)
{
    return check_nonnegative_arg(L, index, "offset must not be negative");
}

// An offset for a 32-bit atomic access: the sign check first, then the
// alignment (block addresses are at least 8-byte aligned, so a multiple of 4
// gives an aligned element).
std::uint64_t check_atomic_offset_arg(lua_State* L, int index);

inline std::uint64_t check_length_arg(lua_State* L, int index)
{
    return check_nonnegative_arg(L, index, "length must not be negative");
}

}  // namespace luamods::memory
