// Which implementation does which work in this process.  The choice is made
// once, on first use, and never changes: the SHA-256 compression from CPUID,
// and the message sizes from which the AEAD functions and ed25519_sign hand
// their work to OpenSSL's libcrypto instead of libsodium (both give the same
// bytes; below the crossover libsodium's lower per-call cost wins, above it
// libcrypto's faster vector code does).
//
// backends.cpp makes the module's choice.  Test builds of the module link a
// file of their own instead, which forces one side of every choice, so that
// the same test vectors run through both sides.
#pragma once

#include <cstddef>

#include "Crypto/sha256.hpp"

namespace luamods::crypto {

struct Backends {
    Sha256Blocks sha256_blocks;
    // AEAD messages (plaintext or ciphertext bytes, without the tag) of at
    // least this many bytes go to libcrypto.
    std::size_t aead_bulk_from;
    // Ed25519 signatures of messages of at least this many bytes are made by
    // libcrypto, whose SHA-512 is faster; the key's cost per call is higher.
    std::size_t ed25519_bulk_from;
};

const Backends& backends() noexcept;

}  // namespace luamods::crypto
