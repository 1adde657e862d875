// The choice of implementations for the two test builds of the crypto module
// that force one side of every choice (backends.hpp), so that the test
// vectors run through both:
//   LUAMODS_FORCE_FALLBACK: the portable SHA-256 and libsodium at every size;
//   otherwise: the fastest SHA-256 and libcrypto at every size.
#include <cstddef>

#include "Crypto/backends.hpp"

namespace luamods::crypto {

const Backends& backends() noexcept
{
#ifdef LUAMODS_FORCE_FALLBACK
    static const Backends forced{sha256_blocks_portable, static_cast<std::size_t>(-1),
                                 static_cast<std::size_t>(-1)};
#else
    static const Backends forced{sha256_blocks_fastest(), 0, 0};
#endif
    return forced;
}

}  // namespace luamods::crypto
