#include "common/args.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace luamods {

namespace {
const unsigned char kEmpty[1] = {0};

constexpr double kTwo64 = 18446744073709551616.0;  // exactly

// A number that is not NaN, or texts.nan raised (NaN returned when there is
// no such text).
double check_not_nan(lua_State* L, int index, const IntegerTexts& texts, const char* what)
{
    const double v = luaL_checknumber(L, index);
    if (v != v && texts.nan)
        raise_argument(L, index, texts.nan, what);
    return v;
}
}  // namespace

Bytes check_bytes(lua_State* L, int index)
{
    std::size_t n = 0;
    const char* s = luaL_checklstring(L, index, &n);
    return {reinterpret_cast<const unsigned char*>(s), n};
}

Bytes opt_bytes(lua_State* L, int index)
{
    if (!is_present(L, index))
        return {kEmpty, 0};
    return check_bytes(L, index);
}

void raise_argument(lua_State* L, int index, const char* format, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    luaL_argerror(L, index, text);
    __builtin_unreachable();
}

TimeLimit check_time_limit_arg(lua_State* L, int index, const TimeLimitTexts& texts)
{
    if (!is_present(L, index))
        return TimeLimit::forever();
    // A Lua number only: a numeric string is a string here, so that "100"
    // is not taken for a limit by accident.
    if (lua_type(L, index) != LUA_TNUMBER)
        raise_argument(L, index, texts.type, luaL_typename(L, index));
    const double ms = lua_tonumber(L, index);
    if (ms != ms)
        luaL_argerror(L, index, texts.nan);
    if (ms < 0)
        luaL_argerror(L, index, texts.negative);
    return TimeLimit::from_ms(ms);
}

std::uint64_t wrap_large_to_u64(double v) noexcept
{
    // |v| >= 2^63 is a whole number: reduce it modulo 2^64 exactly (fmod is
    // exact, and so is the sum).
    double r = std::fmod(v, kTwo64);
    if (r < 0)
        r += kTwo64;
    return r >= kTwo63 ? static_cast<std::uint64_t>(r - kTwo63) + (std::uint64_t{1} << 63)
                       : static_cast<std::uint64_t>(r);
}

std::int64_t check_saturated_arg(lua_State* L, int index, const IntegerTexts& texts,
                                 const char* what)
{
    const double v = check_not_nan(L, index, texts, what);
    return v != v ? INT64_MIN : saturate_to_i64(v);
}

std::int64_t opt_saturated_arg(lua_State* L, int index, std::int64_t absent,
                               const IntegerTexts& texts, const char* what)
{
    return is_present(L, index) ? check_saturated_arg(L, index, texts, what) : absent;
}

double check_finite_arg(lua_State* L, int index, const IntegerTexts& texts, const char* what)
{
    const double v = check_not_nan(L, index, texts, what);
    if (v == INFINITY)
        raise_argument(L, index, texts.infinite, what);
    if (v == -INFINITY)
        raise_argument(L, index, texts.negative_infinite, what);
    return v;
}

std::uint64_t check_other_nonnegative_arg(lua_State* L, int index, double v,
                                          const IntegerTexts& texts, const char* what)
{
    if (v != v)
        raise_argument(L, index, texts.nan, what);
    if (v < 0)
        raise_argument(L, index, texts.negative, what);
    return static_cast<std::uint64_t>(saturate_to_i64(v));
}

}  // namespace luamods
