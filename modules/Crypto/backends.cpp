// The module's choice of implementations (backends.hpp).
#include "Crypto/backends.hpp"

namespace luamods::crypto {

namespace {

// The AEAD crossover, measured with bench/crypto (the "crossover" rows): the
// smallest message size at which libcrypto's ChaCha20-Poly1305 beats
// libsodium's on the same call, rounded to a power of two.  The Windows
// libsodium is built without its AVX2 code, so libcrypto wins earlier there.
#ifdef _WIN32
constexpr std::size_t kAeadBulkFrom = 1024;
#else
constexpr std::size_t kAeadBulkFrom = 4096;
#endif

}  // namespace

const Backends& backends() noexcept
{
    static const Backends chosen{sha256_blocks_fastest(), kAeadBulkFrom};
    return chosen;
}

}  // namespace luamods::crypto
