// The work done through libcrypto's EVP interface: ChaCha20-Poly1305
// (RFC 8439) for the AEAD functions' large messages and Ed25519 signatures
// of large messages (backends.hpp decides which size is large).  Plain
// functions with no Lua in them.
#pragma once

#include <cstddef>

namespace luamods::crypto {

// Why a call through libcrypto did not produce a result.
enum class BulkResult {
    done,         // sealed, or opened and authentic
    forged,       // open: the tag does not match; the plaintext buffer holds garbage
    unavailable,  // libcrypto could not do the work; nothing usable was written
};

// Seals n bytes of `message` into `out` (n bytes) and `tag` (16 bytes).
BulkResult libcrypto_seal(unsigned char* out, unsigned char* tag, const unsigned char* message,
                          std::size_t n, const unsigned char* ad, std::size_t ad_len,
                          const unsigned char* nonce12, const unsigned char* key) noexcept;

// Opens n bytes of ciphertext with its 16-byte tag into `out` (n bytes).
// Whatever the result, `out` may have been written: the caller wipes it.
BulkResult libcrypto_open(unsigned char* out, const unsigned char* ciphertext, std::size_t n,
                          const unsigned char* tag, const unsigned char* ad, std::size_t ad_len,
                          const unsigned char* nonce12, const unsigned char* key) noexcept;

// Signs n bytes of `message` with the 64-byte secret key (seed, then public
// key) into `sig` (64 bytes).  Unavailable when libcrypto has no Ed25519, and
// when the key's second half is not the seed's public key: libcrypto signs
// with the key it derives, the module with the stored half.
BulkResult libcrypto_ed25519_sign(unsigned char* sig, const unsigned char* secret_key,
                                  const unsigned char* message, std::size_t n) noexcept;

// libcrypto's version as it reports itself at run time, e.g. "3.0.19".
const char* libcrypto_version() noexcept;

}  // namespace luamods::crypto
