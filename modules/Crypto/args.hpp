// Argument readers shared by every crypto function.  They raise Lua errors,
// so they run before the function holds anything that needs cleaning up.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <cstdint>

namespace luamods::crypto {

// A Lua string argument as raw bytes; the bytes belong to Lua and stay valid
// while the value is on the stack.
struct Bytes {
    const unsigned char* data;
    std::size_t size;
};

// Labels of the fixed-size arguments, as the size message shows them.
inline constexpr const char* kSecretKey = "secret key";
inline constexpr const char* kPublicKey = "public key";
inline constexpr const char* kSeed = "seed";
inline constexpr const char* kKey = "key";
inline constexpr const char* kNonce = "nonce";

// A required string (numbers in their string form).
Bytes check_bytes(lua_State* L, int index);

// An optional string: nil or none is the empty string.
Bytes opt_bytes(lua_State* L, int index);

// A string of exactly `size` bytes, or "<label> must be <size> bytes (got <n>)".
Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size);

// True when argument `index` is given (its type is above nil).
inline bool is_present(lua_State* L, int index)
{
    return lua_type(L, index) > LUA_TNIL;
}

}  // namespace luamods::crypto
