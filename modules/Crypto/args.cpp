#include "Crypto/args.hpp"

namespace luamods::crypto {

namespace {
const unsigned char kEmpty[1] = {0};
}

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

Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size)
{
    Bytes b = check_bytes(L, index);
    if (b.size != size)
        luaL_error(L, "%s must be %d bytes (got %d)", label, static_cast<int>(size),
                   static_cast<int>(b.size));
    return b;
}

}  // namespace luamods::crypto
