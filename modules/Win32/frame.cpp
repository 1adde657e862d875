// The conventions every win32 function shares: the failure triple, the
// integer and handle readers, and the result slot for strings built in C++.

#include "Win32/frame.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

#include "Win32/messages.hpp"
#include "Win32/text.hpp"

namespace luamods::win32 {
namespace {

constexpr const char* kResultSlotMeta = "luamods.win32.result_slot";

int result_slot_gc(lua_State* L)
{
    auto* slot = static_cast<ResultSlot*>(lua_touserdata(L, 1));
    if (slot)
        release_result_slot(slot);
    return 0;
}

}  // namespace

int push_windows_error(lua_State* L, DWORD code)
{
    ResultSlot* slot = push_result_slot(L);
    {
        wchar_t* buffer = nullptr;
        const DWORD units = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
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
        fill_result_slot(slot, std::move(text));
    }
    lua_pushnil(L);
    lua_pushinteger(L, static_cast<lua_Integer>(code));
    push_result(L, slot);
    return 3;
}

namespace {

// 2^63 and 2^32, exactly.
constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo32 = 4294967296.0;

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
    const double n = check_whole_number(L, index);
    if (n >= kTwo63)
        return INT64_MAX;
    if (n < -kTwo63)
        return INT64_MIN;
    return static_cast<lua_Integer>(n);
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
    // fmod is exact, and so is the sum: the remainder is an integer below 2^32.
    double low = std::fmod(n, kTwo32);
    if (low < 0)
        low += kTwo32;
    return static_cast<DWORD>(low);
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

ResultSlot* push_result_slot(lua_State* L)
{
    auto* slot = static_cast<ResultSlot*>(lua_newuserdata(L, sizeof(ResultSlot)));
    slot->bytes = nullptr;
    if (luaL_newmetatable(L, kResultSlotMeta)) {
        lua_pushcfunction(L, result_slot_gc);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    return slot;
}

void fill_result_slot(ResultSlot* slot, std::string&& bytes)
{
    release_result_slot(slot);
    slot->bytes = new std::string(std::move(bytes));
}

void release_result_slot(ResultSlot* slot) noexcept
{
    delete slot->bytes;
    slot->bytes = nullptr;
}

void push_result(lua_State* L, ResultSlot* slot)
{
    if (slot->bytes)
        lua_pushlstring(L, slot->bytes->data(), slot->bytes->size());
    else
        lua_pushliteral(L, "");
    release_result_slot(slot);
}

}  // namespace luamods::win32
