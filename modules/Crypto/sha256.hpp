// The module's own SHA-256 (FIPS 180-4), HMAC-SHA-256 (RFC 2104) and
// HKDF-SHA-256 (RFC 5869).  Plain functions with no Lua in them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace luamods::crypto {

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kSha256Block = 64;
inline constexpr std::size_t kHkdfSha256Max = 255 * kSha256Size;  // 8,160

// Streaming state; lives on the stack of its user and is cleared by sha256_final.
struct sha256_ctx {
    std::uint32_t state[8];
    std::uint64_t total;  // message bytes absorbed so far
    unsigned char block[kSha256Block];
    std::uint64_t fill;   // bytes collected in block (0..63 between calls)
};

void sha256_init(sha256_ctx& ctx) noexcept;
void sha256_update(sha256_ctx& ctx, const void* data, std::size_t n) noexcept;
// One FIPS 180-4 block step on ctx.state.
void sha256_compress(sha256_ctx& ctx, const unsigned char* block) noexcept;
// Pads, writes the 32-byte digest and clears the whole context.
void sha256_final(sha256_ctx& ctx, unsigned char* out) noexcept;

void sha256_hash(unsigned char* out, const void* data, std::size_t n) noexcept;

// HMAC-SHA-256 of piece1 || piece2 || [extra], where the single extra byte is
// present only when has_extra is set (HKDF's block counter).
void hmac_sha256_parts(unsigned char* out, const void* key, std::size_t key_len,
                       const void* piece1, std::size_t len1, const void* piece2,
                       std::size_t len2, bool has_extra, unsigned char extra) noexcept;

// RFC 5869 extract and expand.  An empty salt stands for 32 zero bytes.
// -1 (nothing written) when out_len exceeds 8,160.
int hkdf_sha256_derive(unsigned char* out, std::size_t out_len, const void* ikm,
                       std::size_t ikm_len, const void* salt, std::size_t salt_len,
                       const void* info, std::size_t info_len) noexcept;

}  // namespace luamods::crypto
