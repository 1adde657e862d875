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

// True when argument `index` is given (its type is above nil).  The one test
// of an optional argument: none and nil are both "absent".
inline bool is_present(lua_State* L, int index) { return lua_type(L, index) > LUA_TNIL; }

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
// INT64_MIN, which turns 2^70 into a negative count).  So the integer
// arguments of the modules are read by the readers below: with
// luaL_checknumber (the host's own error covers a missing or non-numeric
// value), checked by the module's rule, converted without undefined
// behaviour.  Fractions are cut toward zero.  (memory's fill byte, whose
// range is checked on the number itself, needs no conversion check.)

// The argument errors of the integer readers in a module's words; a %s in
// them is the argument's name (`what`).  A null `nan` lets NaN through as
// INT64_MIN, below every range the module checks itself afterwards.
struct IntegerTexts {
    const char* nan;
    const char* infinite;           // +inf where a finite value is needed
    const char* negative_infinite;  // -inf likewise
    const char* negative;           // below 0 where that is refused
};

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

// A count or an interval: NaN raises; beyond the 64-bit range (the
// infinities included) it saturates, so that the caller's own rule for
// negative and for large values covers it too.  absent: none or nil.
std::int64_t check_saturated_arg(lua_State* L, int index, const IntegerTexts& texts,
                                 const char* what);
std::int64_t opt_saturated_arg(lua_State* L, int index, std::int64_t absent,
                               const IntegerTexts& texts, const char* what);

// A finite number: NaN and the infinities raise.
double check_finite_arg(lua_State* L, int index, const IntegerTexts& texts, const char* what);

// An exit code, a mode, a stored value: the exact integer value modulo 2^64
// (so 2^32 + 5 gives 5 in 32 bits and -1 gives 0xFFFFFFFF).
inline std::uint64_t check_wrapped_arg(lua_State* L, int index, const IntegerTexts& texts,
                                       const char* what)
{
    return wrap_to_u64(check_finite_arg(L, index, texts, what));
}

// NaN and a negative number raise; 2^63 or more (+inf too) reads as
// 2^63 - 1, out of every range and small enough that the sum of two such
// values cannot overflow.  In range, the common case, it is inline.
std::uint64_t check_other_nonnegative_arg(lua_State* L, int index, double v,
                                          const IntegerTexts& texts, const char* what);
inline std::uint64_t check_nonnegative_arg(lua_State* L, int index, const IntegerTexts& texts,
                                           const char* what)
{
    const double v = luaL_checknumber(L, index);
    if (v >= 0 && v < kTwo63)
        return static_cast<std::uint64_t>(v);
    return check_other_nonnegative_arg(L, index, v, texts, what);
}

}  // namespace luamods
