// The argument readers of crypto, on top of the shared ones (common/args.hpp).
// They raise Lua errors, so they run before the function holds anything that
// needs cleaning up.
#pragma once

#include <lua.hpp>

#include <cstddef>

#include "common/args.hpp"
#include "common/reply.hpp"

namespace luamods::crypto {

// The module's messages carry no module name, those of C++ failures neither.
inline constexpr Wording kCrypto{"out of memory", "out of memory"};

// Labels of the fixed-size arguments, as the size message shows them.
inline constexpr const char* kSecretKey = "secret key";
inline constexpr const char* kPublicKey = "public key";
inline constexpr const char* kSeed = "seed";
inline constexpr const char* kKey = "key";
inline constexpr const char* kNonce = "nonce";

// A string of exactly `size` bytes, or "<label> must be <size> bytes (got <n>)".
Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size);

}  // namespace luamods::crypto
