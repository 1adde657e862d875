// The module's choice of implementations (backends.hpp).
#include "Crypto/backends.hpp"

namespace luamods::crypto {

namespace {

// The AEAD crossover, measured with bench/crypto (its ChaCha20-Poly1305 table
// by message size): the first power of two at which libcrypto's call is
// faster than libsodium's.  Natively libcrypto catches up between 1.5 and
// 2 KiB (its EVP set-up costs about 400 ns more per call).  The Windows
// libsodium never uses its AVX2 code: its CPU test reads XCR0 through
// _xgetbv or inline assembly, and its mingw configuration enables neither,
// so there libcrypto is ahead from 768 bytes on.  The sizes were measured at
// multiples of 256 bytes only: at lengths that are not a multiple of 64 the
// native libcrypto is ahead from about 768 bytes (1.52 against 1.99 us at
// 1,000 bytes), which the native 2 KiB does not follow; docs/crypto.md says
// the crossovers are fixed and measured on one machine.
//
// The Ed25519 crossover, measured the same way (bench/crypto, and a direct
// C comparison of the two libraries' calls): libcrypto's key set-up costs
// about 100 us more per call, its SHA-512 saves about 40% per byte; it is
// ahead from about 128 KiB.  The Windows libcrypto is built without the
// curves (scripts/deps.sh), so there libsodium signs everything.
#ifdef _WIN32
constexpr std::size_t kAeadBulkFrom = 1024;
constexpr std::size_t kEd25519BulkFrom = static_cast<std::size_t>(-1);
#else
constexpr std::size_t kAeadBulkFrom = 2048;
constexpr std::size_t kEd25519BulkFrom = 131072;
#endif

}  // namespace

const Backends& backends() noexcept
{
    static const Backends chosen{sha256_blocks_fastest(), kAeadBulkFrom, kEd25519BulkFrom};
    return chosen;
}

}  // namespace luamods::crypto
