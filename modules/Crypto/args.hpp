// The argument readers of crypto, on top of the shared ones (common/args.hpp).
// They raise Lua errors, so they run before the function holds anything that
// needs cleaning up.
#pragma once

#include <lua.hpp>

#include <cstddef>

#include "Crypto/messages.hpp"
#include "common/args.hpp"
#include "common/reply.hpp"

namespace luamods::crypto {

// The module's messages carry no module name, those of C++ failures neither.
inline constexpr Wording kCrypto{msg::kOutOfMemory, msg::kOutOfMemory};

// Integers are read by the shared saturating reader (common/args.hpp), NaN
// as INT64_MIN: each function's own range check, which its message words,
// refuses every value it cannot take.
inline constexpr IntegerTexts kIntegerTexts{};

// A string of exactly `size` bytes, or "<label> must be <size> bytes (got <n>)".
Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size);
// The same, optional: absent is {nullptr, 0}.
Bytes opt_sized(lua_State* L, int index, const char* label, std::size_t size);

// The digest length of blake2b and blake2b_init: argument `index`, 64 when
// absent, else 1..64 or `message` is raised.
std::size_t check_blake2b_length(lua_State* L, int index, const char* message);

// The digest length of blake2b_keyed and blake2b_keyed_init (argument
// `index`), then their key, read before: the length is tested first.
std::size_t check_blake2b_keyed(lua_State* L, const Bytes& key, int index);

}  // namespace luamods::crypto
