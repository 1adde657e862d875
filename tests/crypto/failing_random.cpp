// A system generator that always fails: linked into a test build of the
// crypto module to reach its generator-failure paths.
#include "Crypto/random.hpp"

namespace luamods::crypto {

bool system_random(void*, std::size_t) noexcept { return false; }

}  // namespace luamods::crypto
