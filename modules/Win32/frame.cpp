// The conventions every win32 function shares: the failure triple and the
// integer and handle readers.

#include "Win32/frame.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

#include "Win32/messages.hpp"
#include "Win32/text.hpp"
#include "common/args.hpp"

namespace luamods::win32 {
void fail_with_windows_error(Reply& reply, DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD units = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                       reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    try {
        if (units != 0 && buffer)
            text = wide_to_utf8(buffer, units);
    } catch (...) {
        LocalFree(buffer);
        throw;
    }
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    if (text.empty()) {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, kWindowsErrorFallback,
                      static_cast<unsigned long>(code));
        text = fallback;
    }
    reply.fail(static_cast<lua_Integer>(code), text.data(), text.size());
}

int push_windows_error(lua_State* L, DWORD code)
{
    return respond(L, kWin32, [&](Reply& reply) { fail_with_windows_error(reply, code); });
}

namespace {

// The number at index cut towards zero; raises the host's argument error for
// a missing or non-numeric value and the module's for NaN.
double check_whole_number(lua_State* L, int index)
{
    const double n = luaL_checknumber(L, index);
    if (std::isnan(n))
        luaL_argerror(L, index, kIntegerNaN);
    return std::trunc(n);
}

void raise_infinite(lua_State* L, int index, double n)
{
    luaL_argerror(L, index, n > 0 ? kIntegerInf : kIntegerNegativeInf);
}

}  // namespace

HANDLE check_handle_arg(lua_State* L, int index)
{
    const double n = check_whole_number(L, index);
    if (std::isinf(n))
        raise_infinite(L, index, n);
    if (n >= kTwo63 || n < -kTwo63)
        luaL_argerror(L, index, kHandleBeyondRange);
    const auto value = static_cast<lua_Integer>(n);
    if (value == 0 || value == -1)
        luaL_argerror(L, index, kNotAHandle);
    return to_handle(value);
}

lua_Integer check_saturated_arg(lua_State* L, int index)
{
    return saturate_to_i64(check_whole_number(L, index));
}

lua_Integer opt_saturated_arg(lua_State* L, int index, lua_Integer fallback)
{
    return lua_isnoneornil(L, index) ? fallback : check_saturated_arg(L, index);
}

DWORD check_low32_arg(lua_State* L, int index)
{
    const double n = check_whole_number(L, index);
    if (std::isinf(n))
        raise_infinite(L, index, n);
    return static_cast<DWORD>(wrap_to_u64(n));
}

DWORD opt_low32_arg(lua_State* L, int index, DWORD fallback)
{
    return lua_isnoneornil(L, index) ? fallback : check_low32_arg(L, index);
}

void check_no_zero_byte(lua_State* L, const char* function, const char* what, const char* text,
                        std::size_t length)
{
    if (has_zero_byte(text, length))
        luaL_error(L, kZeroByte, function, what);
}

}  // namespace luamods::win32
