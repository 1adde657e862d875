#include "Crypto/secret.hpp"

#include <sodium.h>

namespace luamods::crypto {

// The module's only way of clearing memory: libsodium's, which the compiler
// cannot remove as a dead store.
void wipe(void* p, std::size_t n) noexcept { sodium_memzero(p, n); }

}  // namespace luamods::crypto
