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

// A string of exactly `size` bytes, or "<label> must be <size> bytes (got <n>)".
Bytes check_sized(lua_State* L, int index, const char* label, std::size_t size);

}  // namespace luamods::crypto
