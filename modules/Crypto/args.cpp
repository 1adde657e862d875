#include "Crypto/args.hpp"

#include "Crypto/blake2b.hpp"
#include "Crypto/messages.hpp"

namespace luamods::crypto {

Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size)
{
    Bytes b = check_bytes(L, index);
    if (b.size != size)
        luaL_error(L, msg::kWrongSize, label, static_cast<int>(size), static_cast<int>(b.size));
    return b;
}

Bytes opt_sized(lua_State* L, int index, const char* label, std::size_t size)
{
    return is_present(L, index) ? check_sized(L, index, label, size) : Bytes{nullptr, 0};
}

std::size_t check_blake2b_length(lua_State* L, int index, const char* message)
{
    const std::int64_t length = opt_saturated_arg(L, index, 64, kIntegerTexts, nullptr);
    if (length < 1 || length > static_cast<std::int64_t>(kBlake2bMax))
        luaL_error(L, "%s", message);
    return static_cast<std::size_t>(length);
}

std::size_t check_blake2b_keyed(lua_State* L, const Bytes& key, int index)
{
    const std::size_t size = check_blake2b_length(L, index, msg::kBlake2bKeyedLength);
    if (key.size > kBlake2bKeyMax)
        luaL_error(L, "%s", msg::kBlake2bKeyedKey);
    return size;
}

}  // namespace luamods::crypto
