// Argument readers every module shares.  They raise Lua argument errors, so
// a function calls them before it holds anything that needs releasing.
// What is particular to one module (memory's pointers, win32's handles)
// stays with that module and is built from these.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <cstdint>

#include "common/time_limit.hpp"

namespace luamods {

// A Lua string argument as raw bytes; they belong to Lua and stay valid
// while the value is on the stack.
struct Bytes {
    const unsigned char* data;
    std::size_t size;
};

// A required string (numbers in their string form).
Bytes check_bytes(lua_State* L, int index);

// An optional string: nil or none is the empty string.
Bytes opt_bytes(lua_State* L, int index);

// True when argument `index` is given (its type is above nil).
inline bool is_present(lua_State* L, int index) { return lua_type(L, index) > LUA_TNIL; }

// Raises luaL_argerror for `index` with a printf-style text.
[[noreturn]] void raise_argument(lua_State* L, int index, const char* format, ...);

// The texts of a time limit's argument errors, in a module's words; `type`
// formats the name of the type given.
struct TimeLimitTexts {
    const char* type;
    const char* nan;
    const char* negative;
};

// An optional time limit in milliseconds (time_limit.hpp): absent or nil is
// no limit; NaN, a negative number or another type raise.  The deadline
// counts from this call.
TimeLimit check_time_limit_arg(lua_State* L, int index, const TimeLimitTexts& texts);

// Integers.  Lua numbers are doubles here, and converting NaN, an infinity
// or a value beyond 64 bits to an integer is undefined in C++ (x64 gives
// INT64_MIN, which turns 2^70 into a negative count).  So every integer
// argument is read with luaL_checknumber, checked by the module's own rule,
// and converted by one of these.  Fractions are cut toward zero.

inline constexpr double kTwo63 = 9223372036854775808.0;  // exactly

// `v` is not NaN: values beyond the 64-bit range (the infinities included)
// become INT64_MIN or INT64_MAX.
inline std::int64_t saturate_to_i64(double v) noexcept
{
    if (v >= kTwo63)
        return INT64_MAX;
    if (v < -kTwo63)
        return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

// `v` is finite: the exact integer value modulo 2^64 (so its low 32 bits are
// what a 32-bit store keeps, whatever its size).
std::uint64_t wrap_large_to_u64(double v) noexcept;
inline std::uint64_t wrap_to_u64(double v) noexcept
{
    if (v > -kTwo63 && v < kTwo63)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    return wrap_large_to_u64(v);
}

}  // namespace luamods
