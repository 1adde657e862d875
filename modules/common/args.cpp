#include "common/args.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace luamods {

namespace {
const unsigned char kEmpty[1] = {0};

constexpr double kTwo64 = 18446744073709551616.0;  // exactly
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
    const TimeLimitArg arg = read_time_limit_arg(L, index);
    switch (arg.check) {
    case TimeLimitArg::Check::absent: return TimeLimit::forever();
    case TimeLimitArg::Check::number: break;
    case TimeLimitArg::Check::nan: luaL_argerror(L, index, texts.nan); break;
    case TimeLimitArg::Check::negative: luaL_argerror(L, index, texts.negative); break;
    case TimeLimitArg::Check::wrong_type:
        raise_argument(L, index, texts.type, luaL_typename(L, index));
    }
    return TimeLimit::from_ms(arg.ms);
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

}  // namespace luamods
