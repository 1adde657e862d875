// SHA-512 (FIPS 180-4), HMAC-SHA-512 (RFC 2104) and HKDF-SHA-512 (RFC 5869)
// on libcrypto's SHA-512 compression, which picks its AVX2/BMI2 code from
// CPUID and is faster than libsodium's at every message size.  Plain
// functions with no Lua in them.
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

// As hmac_sha256_parts (sha256.hpp), with a 128-byte block and 64-byte output.
void hmac_sha512_parts(unsigned char* out, const void* key, std::size_t key_len, const void* piece1,
                       std::size_t len1, const void* piece2, std::size_t len2, bool has_extra,
                       unsigned char extra) noexcept;

// RFC 5869 with HMAC-SHA-512; an empty salt stands for 64 zero bytes.  -1
// (nothing written) when out_len exceeds 16,320.
int hkdf_sha512_derive(unsigned char* out, std::size_t out_len, const void* ikm,
                       std::size_t ikm_len, const void* salt, std::size_t salt_len,
                       const void* info, std::size_t info_len) noexcept;

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
