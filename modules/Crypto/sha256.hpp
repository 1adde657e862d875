// The module's own SHA-256 (FIPS 180-4); HMAC and HKDF over it are in
// hmac.hpp.  Plain functions with no Lua in them.
//
// The compression has two implementations with the same results: portable
// C++, and one on the x86 SHA extensions.  backends() (backends.hpp) holds
// the one this process uses, chosen once from CPUID.
#pragma once

#include <cstddef>
#include <cstdint>

namespace luamods::crypto {

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kSha256Block = 64;
inline constexpr std::size_t kHkdfSha256Max = 255 * kSha256Size;  // 8,160

// The 64 round constants K0..K63 of FIPS 180-4.
inline constexpr std::uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Streaming state: on the stack of a one-shot function, or inside a state
// object (hash_state.cpp); cleared by sha256_final.
struct sha256_ctx {
    std::uint32_t state[8];
    std::uint64_t total;  // message bytes absorbed so far
    unsigned char block[kSha256Block];
    std::uint64_t fill;  // bytes collected in block (0..63 between calls)
};

// Compresses `blocks` consecutive 64-byte blocks into state[0..7].
using Sha256Blocks = void (*)(std::uint32_t* state, const unsigned char* data,
                              std::size_t blocks) noexcept;

// The portable compression; runs on every CPU.
void sha256_blocks_portable(std::uint32_t* state, const unsigned char* data,
                            std::size_t blocks) noexcept;
// The fastest compression this CPU runs: the SHA-extension one where CPUID
// reports SHA, SSSE3 and SSE4.1, the portable one everywhere else.
Sha256Blocks sha256_blocks_fastest() noexcept;

void sha256_init(sha256_ctx& ctx) noexcept;
void sha256_update(sha256_ctx& ctx, const void* data, std::size_t n) noexcept;
// Pads, writes the 32-byte digest and clears the whole context.
void sha256_final(sha256_ctx& ctx, unsigned char* out) noexcept;

void sha256_hash(unsigned char* out, const void* data, std::size_t n) noexcept;

// SHA-256 in the form HMAC, HKDF and the state objects take a hash
// (hmac.hpp): the functions above.
struct Sha256 {
    using Ctx = sha256_ctx;
    static constexpr std::size_t kBlock = kSha256Block;
    static constexpr std::size_t kSize = kSha256Size;
    static void init(Ctx& c) noexcept { sha256_init(c); }
    static void update(Ctx& c, const void* p, std::size_t n) noexcept { sha256_update(c, p, n); }
    static void final(Ctx& c, unsigned char* out) noexcept { sha256_final(c, out); }
};

}  // namespace luamods::crypto
