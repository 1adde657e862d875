// SHA-512 (FIPS 180-4) on libcrypto's SHA-512 compression, which picks its
// AVX2/BMI2 code from CPUID and is faster than libsodium's at every message
// size; HMAC and HKDF over it are in hmac.hpp.  Plain functions with no Lua
// in them.
#pragma once

#include <cstddef>

namespace luamods::crypto {

inline constexpr std::size_t kSha512Size = 64;
inline constexpr std::size_t kSha512Block = 128;
inline constexpr std::size_t kHkdfSha512Max = 255 * kSha512Size;  // 16,320

// The streaming context: libcrypto's SHA512_CTX (plain data: no allocation,
// nothing to free), held as bytes so that libcrypto's headers stay in
// sha512.cpp, which checks its size and alignment.
struct sha512_ctx {
    alignas(8) unsigned char opaque[216];
};

void sha512_init(sha512_ctx& ctx) noexcept;
void sha512_update(sha512_ctx& ctx, const void* data, std::size_t n) noexcept;
// Writes the 64-byte digest.  The context still holds the running hash and
// buffered input: its holder wipes it.
void sha512_final(sha512_ctx& ctx, unsigned char* out) noexcept;

void sha512_hash(unsigned char* out, const void* data, std::size_t n) noexcept;

// SHA-512 in the form HMAC, HKDF and the state objects take a hash
// (hmac.hpp): the functions above.
struct Sha512 {
    using Ctx = sha512_ctx;
    static constexpr std::size_t kBlock = kSha512Block;
    static constexpr std::size_t kSize = kSha512Size;
    static void init(Ctx& c) noexcept { sha512_init(c); }
    static void update(Ctx& c, const void* p, std::size_t n) noexcept { sha512_update(c, p, n); }
    static void final(Ctx& c, unsigned char* out) noexcept { sha512_final(c, out); }
};

}  // namespace luamods::crypto
