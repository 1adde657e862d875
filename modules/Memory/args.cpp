#include "Memory/args.hpp"

#include <cmath>
#include <cstring>

#include "Memory/messages.hpp"
#include "common/args.hpp"

namespace luamods::memory {

namespace {
constexpr int kLuaTypeCdata = 10;  // LuaJIT's type number for cdata

std::uint64_t cdata_payload_u64(lua_State* L, int index)
{
    std::uint64_t v = 0;
    std::memcpy(&v, lua_topointer(L, index), sizeof v);
    return v;
}
}  // namespace

void* check_other_pointer_arg(lua_State* L, int index, const char* message)
{
    if (lua_type(L, index) == kLuaTypeCdata)
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(cdata_payload_u64(L, index)));
    luaL_argerror(L, index, message);
    return nullptr;
}

namespace {
constexpr double kTwo64 = 18446744073709551616.0;

// A number argument that is neither NaN nor negative.
double check_nonnegative_number(lua_State* L, int index, double v, const char* what)
{
    if (v != v)
        raise_argument(L, index, msg::kNotFinite, what);
    if (v < 0)
        raise_argument(L, index, msg::kNegative, what);
    return v;
}
}  // namespace

std::uint64_t check_size_arg(lua_State* L, int index)
{
    if (lua_type(L, index) == kLuaTypeCdata)
        return cdata_payload_u64(L, index);
    double v = check_nonnegative_number(L, index, luaL_checknumber(L, index), "size");
    return v >= kTwo64 ? UINT64_MAX : static_cast<std::uint64_t>(v);
}

std::uint64_t check_other_nonnegative_arg(lua_State* L, int index, double v, const char* what)
{
    return static_cast<std::uint64_t>(saturate_to_i64(check_nonnegative_number(L, index, v, what)));
}

std::uint64_t check_wrapping_integer_arg(lua_State* L, int index, const char* what)
{
    double v = luaL_checknumber(L, index);
    if (!std::isfinite(v))
        raise_argument(L, index, msg::kNotFinite, what);
    return wrap_to_u64(v);
}

std::int64_t opt_clamped_integer_arg(lua_State* L, int index, std::int64_t absent, const char* what)
{
    if (!is_present(L, index))
        return absent;
    double v = luaL_checknumber(L, index);
    if (v != v)
        raise_argument(L, index, msg::kNotFinite, what);
    return saturate_to_i64(v);
}

std::uint64_t check_atomic_offset_arg(lua_State* L, int index)
{
    std::uint64_t offset = check_offset_arg(L, index);
    // A saturated offset stands for a value of 2^63 or more, which is a
    // multiple of 4: it fails the bounds check instead.
    if (offset % 4 != 0 && offset != static_cast<std::uint64_t>(INT64_MAX))
        luaL_argerror(L, index, msg::kAtomicAlignment);
    return offset;
}

TimeLimit check_time_limit_arg(lua_State* L, int index)
{
    return luamods::check_time_limit_arg(
        L, index, {msg::kTimeoutType, msg::kTimeoutNaN, msg::kTimeoutNegative});
}

}  // namespace luamods::memory
