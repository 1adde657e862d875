#include "Crypto/args.hpp"
#include "Crypto/messages.hpp"

namespace luamods::crypto {

Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size)
{
    Bytes b = check_bytes(L, index);
    if (b.size != size)
        luaL_error(L, msg::kWrongSize, label, static_cast<int>(size), static_cast<int>(b.size));
    return b;
}

}  // namespace luamods::crypto
