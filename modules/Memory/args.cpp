#include "Memory/args.hpp"

#include <cstring>

#include "Memory/messages.hpp"
#include "common/args.hpp"

namespace luamods::memory {

namespace {
constexpr int kLuaTypeCdata = 10;  // LuaJIT's type number for cdata
constexpr double kTwo64 = 18446744073709551616.0;

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

std::uint64_t check_size_arg(lua_State* L, int index)
{
    if (lua_type(L, index) == kLuaTypeCdata)
        return cdata_payload_u64(L, index);
    // Sizes, unlike offsets, keep their range up to 2^64.
    const double v = luaL_checknumber(L, index);
    if (v >= kTwo63)
        return v >= kTwo64 ? UINT64_MAX : static_cast<std::uint64_t>(v);
    return check_nonnegative_arg(L, index, "size");
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
