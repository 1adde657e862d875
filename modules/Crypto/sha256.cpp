// SHA-256, written from FIPS 180-4: the streaming layer and the portable
// compression (HMAC and HKDF over it are in hmac.hpp).  The compression on the
// SHA extensions is in sha256_x86.cpp.  Every intermediate that may derive
// from a key (message schedule, context) is wiped after use.
#include "Crypto/sha256.hpp"

#include <cstring>

#include "Crypto/backends.hpp"
#include "Crypto/secret.hpp"

namespace luamods::crypto {

namespace {

constexpr std::uint32_t kInitial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr const std::uint32_t* K = kSha256K;

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline std::uint32_t big_sigma0(std::uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline std::uint32_t big_sigma1(std::uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
inline std::uint32_t small_sigma0(std::uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline std::uint32_t small_sigma1(std::uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
// Ch and Maj in forms with fewer operations, equal to FIPS 180-4's
// (x & y) ^ (~x & z) and (x & y) ^ (x & z) ^ (y & z).
inline std::uint32_t ch(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return z ^ (x & (y ^ z));
}
inline std::uint32_t maj(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return (x & y) | (z & (x | y));
}

inline std::uint32_t load_be32(const unsigned char* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void store_be32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// One step of the compression.  The eight working words rotate by passing
// them in a shifted order, so no values are moved between steps.
inline void step(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d,
                 std::uint32_t e, std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                 std::uint32_t kw)
{
    std::uint32_t t1 = h + big_sigma1(e) + ch(e, f, g) + kw;
    std::uint32_t t2 = big_sigma0(a) + maj(a, b, c);
    d += t1;
    h = t1 + t2;
}

// One block step with the schedule in `w`, which the caller wipes once per
// run of blocks rather than once per block: the wipe costs about a fifth of a
// block step where memset is not inlined.
void compress_block(std::uint32_t* state, const unsigned char* block, std::uint32_t* w) noexcept
{
    // The whole 64-word message schedule first, then the 64 steps.  The
    // loops are unrolled completely: with constant indices the schedule and
    // the constants stay in registers and immediates, which is what makes
    // this plain code as fast as an optimised one.
#pragma GCC unroll 16
    for (int t = 0; t < 16; ++t)
        w[t] = load_be32(block + 4 * t);
#pragma GCC unroll 48
    for (int t = 16; t < 64; ++t)
        w[t] = small_sigma1(w[t - 2]) + w[t - 7] + small_sigma0(w[t - 15]) + w[t - 16];

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 8
    for (int t = 0; t < 64; t += 8) {
        step(a, b, c, d, e, f, g, h, K[t + 0] + w[t + 0]);
        step(h, a, b, c, d, e, f, g, K[t + 1] + w[t + 1]);
        step(g, h, a, b, c, d, e, f, K[t + 2] + w[t + 2]);
        step(f, g, h, a, b, c, d, e, K[t + 3] + w[t + 3]);
        step(e, f, g, h, a, b, c, d, K[t + 4] + w[t + 4]);
        step(d, e, f, g, h, a, b, c, K[t + 5] + w[t + 5]);
        step(c, d, e, f, g, h, a, b, K[t + 6] + w[t + 6]);
        step(b, c, d, e, f, g, h, a, K[t + 7] + w[t + 7]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void sha256_blocks_portable(std::uint32_t* state, const unsigned char* data,
                            std::size_t blocks) noexcept
{
    std::uint32_t w[64];
    for (std::size_t i = 0; i < blocks; ++i)
        compress_block(state, data + i * kSha256Block, w);
    wipe(w, sizeof w);
}

void sha256_init(sha256_ctx& ctx) noexcept
{
    std::memcpy(ctx.state, kInitial, sizeof ctx.state);
    ctx.total = 0;
    ctx.fill = 0;
}

void sha256_update(sha256_ctx& ctx, const void* data, std::size_t n) noexcept
{
    const auto* p = static_cast<const unsigned char*>(data);
    const Sha256Blocks blocks = backends().sha256_blocks;
    ctx.total += n;
    // Top up a partly filled block first; whole blocks of the input are then
    // compressed where they lie, and the rest waits in the block buffer.
    if (ctx.fill > 0) {
        std::size_t take = kSha256Block - static_cast<std::size_t>(ctx.fill);
        if (take > n)
            take = n;
        std::memcpy(ctx.block + ctx.fill, p, take);
        ctx.fill += take;
        p += take;
        n -= take;
        if (ctx.fill < kSha256Block)
            return;
        blocks(ctx.state, ctx.block, 1);
        ctx.fill = 0;
    }
    if (n >= kSha256Block) {
        const std::size_t whole = n / kSha256Block;
        blocks(ctx.state, p, whole);
        p += whole * kSha256Block;
        n -= whole * kSha256Block;
    }
    if (n > 0) {
        std::memcpy(ctx.block, p, n);
        ctx.fill = n;
    }
}

void sha256_final(sha256_ctx& ctx, unsigned char* out) noexcept
{
    const Sha256Blocks blocks = backends().sha256_blocks;
    ctx.block[ctx.fill++] = 0x80;
    if (ctx.fill > 56) {
        std::memset(ctx.block + ctx.fill, 0, kSha256Block - ctx.fill);
        blocks(ctx.state, ctx.block, 1);
        ctx.fill = 0;
    }
    std::memset(ctx.block + ctx.fill, 0, 56 - ctx.fill);
    const std::uint64_t bits = ctx.total * 8;
    store_be32(ctx.block + 56, static_cast<std::uint32_t>(bits >> 32));
    store_be32(ctx.block + 60, static_cast<std::uint32_t>(bits));
    blocks(ctx.state, ctx.block, 1);
    for (int i = 0; i < 8; ++i)
        store_be32(out + 4 * i, ctx.state[i]);
    wipe(&ctx, sizeof ctx);
}

void sha256_hash(unsigned char* out, const void* data, std::size_t n) noexcept
{
    sha256_ctx ctx;
    sha256_init(ctx);
    sha256_update(ctx, data, n);
    sha256_final(ctx, out);
}

}  // namespace luamods::crypto
