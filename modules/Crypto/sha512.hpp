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

}  // namespace luamods::crypto
