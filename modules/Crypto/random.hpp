// The system's cryptographically secure generator: the one platform-specific
// piece of the module (random_linux.cpp, random_windows.cpp).
#pragma once

#include <cstddef>

namespace luamods::crypto {

// Fills n bytes with random bytes from the operating system.  False when the
// generator failed; the buffer's contents are then unspecified.
bool system_random(void* buffer, std::size_t n) noexcept;

}  // namespace luamods::crypto
