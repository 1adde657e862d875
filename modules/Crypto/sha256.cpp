// SHA-256, HMAC-SHA-256 and HKDF-SHA-256, written from FIPS 180-4, RFC 2104
// and RFC 5869.  Every intermediate that may derive from a key (message
// schedule, key blocks, inner digests, PRK, T(i)) is wiped after use.
#include "Crypto/sha256.hpp"

#include <cstring>

#include "Crypto/secret.hpp"

namespace luamods::crypto {

namespace {

constexpr std::uint32_t kInitial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline std::uint32_t big_sigma0(std::uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline std::uint32_t big_sigma1(std::uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
inline std::uint32_t small_sigma0(std::uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline std::uint32_t small_sigma1(std::uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
// Ch and Maj in forms with fewer operations, equal to FIPS 180-4's
// (x & y) ^ (~x & z) and (x & y) ^ (x & z) ^ (y & z).
inline std::uint32_t ch(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return z ^ (x & (y ^ z)); }
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

// One block step with the schedule in `w`, which the caller wipes: once per
// call of sha256_update rather than once per block, since the wipe costs
// about a fifth of a block step where memset is not inlined.
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

void sha256_init(sha256_ctx& ctx) noexcept
{
    std::memcpy(ctx.state, kInitial, sizeof ctx.state);
    ctx.total = 0;
    ctx.fill = 0;
}

void sha256_compress(sha256_ctx& ctx, const unsigned char* block) noexcept
{
    std::uint32_t w[64];
    compress_block(ctx.state, block, w);
    wipe(w, sizeof w);
}

void sha256_update(sha256_ctx& ctx, const void* data, std::size_t n) noexcept
{
    const auto* p = static_cast<const unsigned char*>(data);
    ctx.total += n;
    std::uint32_t w[64];
    bool used = false;
    // Every byte passes through the block buffer, full blocks included.
    while (n > 0) {
        std::size_t take = kSha256Block - static_cast<std::size_t>(ctx.fill);
        if (take > n)
            take = n;
        std::memcpy(ctx.block + ctx.fill, p, take);
        ctx.fill += take;
        p += take;
        n -= take;
        if (ctx.fill == kSha256Block) {
            compress_block(ctx.state, ctx.block, w);
            used = true;
            ctx.fill = 0;
        }
    }
    if (used)
        wipe(w, sizeof w);
}

void sha256_final(sha256_ctx& ctx, unsigned char* out) noexcept
{
    ctx.block[ctx.fill++] = 0x80;
    if (ctx.fill > 56) {
        std::memset(ctx.block + ctx.fill, 0, kSha256Block - ctx.fill);
        sha256_compress(ctx, ctx.block);
        ctx.fill = 0;
    }
    std::memset(ctx.block + ctx.fill, 0, 56 - ctx.fill);
    const std::uint64_t bits = ctx.total * 8;
    store_be32(ctx.block + 56, static_cast<std::uint32_t>(bits >> 32));
    store_be32(ctx.block + 60, static_cast<std::uint32_t>(bits));
    sha256_compress(ctx, ctx.block);
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

void hmac_sha256_parts(unsigned char* out, const void* key, std::size_t key_len,
                       const void* piece1, std::size_t len1, const void* piece2,
                       std::size_t len2, bool has_extra, unsigned char extra) noexcept
{
    SecretBytes<kSha256Block> key_block;  // zero-filled
    if (key_len > kSha256Block)
        sha256_hash(key_block.data(), key, key_len);
    else if (key_len > 0)
        std::memcpy(key_block.data(), key, key_len);

    SecretBytes<kSha256Block> pad;
    SecretBytes<kSha256Size> inner;
    Secret<sha256_ctx> ctx;

    for (std::size_t i = 0; i < kSha256Block; ++i)
        pad[i] = key_block[i] ^ 0x36;
    sha256_init(*ctx);
    sha256_update(*ctx, pad.data(), kSha256Block);
    if (len1 > 0)
        sha256_update(*ctx, piece1, len1);
    if (len2 > 0)
        sha256_update(*ctx, piece2, len2);
    if (has_extra)
        sha256_update(*ctx, &extra, 1);
    sha256_final(*ctx, inner.data());

    for (std::size_t i = 0; i < kSha256Block; ++i)
        pad[i] = key_block[i] ^ 0x5c;
    sha256_init(*ctx);
    sha256_update(*ctx, pad.data(), kSha256Block);
    sha256_update(*ctx, inner.data(), kSha256Size);
    sha256_final(*ctx, out);
}

int hkdf_sha256_derive(unsigned char* out, std::size_t out_len, const void* ikm,
                       std::size_t ikm_len, const void* salt, std::size_t salt_len,
                       const void* info, std::size_t info_len) noexcept
{
    if (out_len > kHkdfSha256Max)
        return -1;
    static const unsigned char kZeroSalt[kSha256Size] = {};
    if (salt == nullptr || salt_len == 0) {
        salt = kZeroSalt;
        salt_len = sizeof kZeroSalt;
    }
    SecretBytes<kSha256Size> prk;
    hmac_sha256_parts(prk.data(), salt, salt_len, ikm, ikm_len, nullptr, 0, false, 0);

    SecretBytes<kSha256Size> t;
    std::size_t done = 0;
    for (unsigned counter = 1; done < out_len; ++counter) {
        const auto byte = static_cast<unsigned char>(counter);
        if (counter == 1)
            hmac_sha256_parts(t.data(), prk.data(), kSha256Size, info, info_len, nullptr, 0,
                              true, byte);
        else
            hmac_sha256_parts(t.data(), prk.data(), kSha256Size, t.data(), kSha256Size, info,
                              info_len, true, byte);
        std::size_t take = out_len - done < kSha256Size ? out_len - done : kSha256Size;
        std::memcpy(out + done, t.data(), take);
        done += take;
    }
    return 0;
}

}  // namespace luamods::crypto
