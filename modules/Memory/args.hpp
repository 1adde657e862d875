// Argument readers shared by every entry point of memory and memory.queue.
// They raise Lua argument errors and are called before anything is acquired.
#pragma once

#include <lua.hpp>

#include <cstdint>

#include "Memory/messages.hpp"
#include "common/args.hpp"
#include "common/time_limit.hpp"

namespace luamods::memory {

// Length that means "no range check" in a BlockAccess.
inline constexpr std::uint64_t kNoRangeCheck = ~std::uint64_t{0};

// A light userdata, or a cdata whose first 8 payload bytes are the address
// (pointer and 64-bit integer cdata).  Anything else raises `message`.
// Every call takes one, so the common case is inline.
void* check_other_pointer_arg(lua_State* L, int index, const char* message);
inline void* check_pointer_arg(lua_State* L, int index, const char* message)
{
    if (lua_type(L, index) == LUA_TLIGHTUSERDATA)
        return lua_touserdata(L, index);
    return check_other_pointer_arg(L, index, message);
}

// Integers are read by the shared readers (common/args.hpp) in memory's
// words: "<what> must be a finite integer", "<what> must not be negative".
inline constexpr IntegerTexts kIntegerTexts{msg::kNotFinite, msg::kNotFinite, msg::kNotFinite,
                                            msg::kNegative};

// A cdata's first 8 payload bytes taken as unsigned, or a non-negative
// number; a number of 2^64 or more (+inf too) reads as 2^64 - 1, the size no
// allocation can meet.
std::uint64_t check_size_arg(lua_State* L, int index);

// A non-negative number (no cdata), saturated at 2^63 - 1.
inline std::uint64_t check_nonnegative_arg(lua_State* L, int index, const char* what)
{
    return luamods::check_nonnegative_arg(L, index, kIntegerTexts, what);
}

// A finite number as an integer modulo 2^64.
inline std::uint64_t check_wrapped_arg(lua_State* L, int index, const char* what)
{
    return luamods::check_wrapped_arg(L, index, kIntegerTexts, what);
}

inline std::uint64_t check_offset_arg(lua_State* L, int index)
{
    return check_nonnegative_arg(L, index, "offset");
}

// An offset for a 32-bit atomic access: the sign check first, then the
// alignment (block addresses are at least 8-byte aligned, so a multiple of 4
// gives an aligned element).
std::uint64_t check_atomic_offset_arg(lua_State* L, int index);

inline std::uint64_t check_length_arg(lua_State* L, int index)
{
    return check_nonnegative_arg(L, index, "length");
}

// The optional time limit of a wait, in milliseconds (common/time_limit.hpp):
// absent or nil is no limit; NaN, a negative number or another type raise.
// The deadline counts from this call.
TimeLimit check_time_limit_arg(lua_State* L, int index);

}  // namespace luamods::memory
