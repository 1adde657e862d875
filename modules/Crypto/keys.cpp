// X25519 key agreement (RFC 7748) and Ed25519 signatures (RFC 8032, pure
// Ed25519).  Secret keys are returned and taken as raw bytes: 32 for X25519,
// 64 (seed followed by public key) for Ed25519.
#include <sodium.h>

#include <cstring>

#include "Crypto/args.hpp"
#include "Crypto/backends.hpp"
#include "Crypto/functions.hpp"
#include "Crypto/libcrypto.hpp"
#include "Crypto/messages.hpp"
#include "Crypto/random.hpp"
#include "Crypto/secret.hpp"
#include "Crypto/vector_state.hpp"
#include "common/reply.hpp"

namespace luamods::crypto {

namespace {

constexpr std::size_t kX25519Size = crypto_scalarmult_curve25519_BYTES;  // 32
constexpr std::size_t kEdSeed = crypto_sign_ed25519_SEEDBYTES;           // 32
constexpr std::size_t kEdSecret = crypto_sign_ed25519_SECRETKEYBYTES;    // 64
constexpr std::size_t kEdPublic = crypto_sign_ed25519_PUBLICKEYBYTES;    // 32
constexpr std::size_t kEdSignature = crypto_sign_ed25519_BYTES;          // 64

static_assert(kX25519Size == 32 && crypto_scalarmult_curve25519_SCALARBYTES == 32);
static_assert(kEdSeed == 32 && kEdSecret == 64 && kEdPublic == 32 && kEdSignature == 64);

// Encodings (bit 255 cleared) of the points of small order and of the
// non-canonical aliases of 0 and 1: y = 0, 1, the two order-8 points, p - 1,
// p and p + 1.
constexpr unsigned char kSmallOrderEncodings[7][32] = {
    {0},
    {1},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
};

// True when bits 0..254, little-endian, are at least p = 2^255 - 19.
bool is_noncanonical_point(const unsigned char* s)
{
    if ((s[31] & 0x7f) != 0x7f)
        return false;
    for (int i = 30; i > 0; --i)
        if (s[i] != 0xff)
            return false;
    return s[0] >= 0xed;
}

bool is_small_order_point(const unsigned char* s)
{
    unsigned char y[32];
    std::memcpy(y, s, 32);
    y[31] &= 0x7f;
    for (const auto& entry : kSmallOrderEncodings)
        if (std::memcmp(y, entry, 32) == 0)
            return true;
    return false;
}

bool is_rejected_point(const unsigned char* s)
{
    return is_noncanonical_point(s) || is_small_order_point(s);
}

// The secret a keypair is made from: the one given, or a fresh one from the
// system generator (false when that fails).
bool given_or_random(unsigned char* secret, const Bytes& given, std::size_t size) noexcept
{
    if (!given.data)
        return system_random(secret, size);
    std::memcpy(secret, given.data, size);
    return true;
}

}  // namespace

int l_x25519_keypair(lua_State* L)
{
    const Bytes sk = opt_sized(L, 1, msg::kSecretKey, kX25519Size);
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;
        SecretBytes<kX25519Size> secret;
        if (!given_or_random(secret.data(), sk, kX25519Size))
            return reply.raise("%s", msg::kX25519RandomFailed);
        unsigned char pk[kX25519Size];
        crypto_scalarmult_curve25519_base(pk, secret.data());
        reply.push_bytes(secret.data(), kX25519Size);
        reply.push_bytes(pk, sizeof pk);
    });
}

int l_x25519_public_key(lua_State* L)
{
    const Bytes sk = check_sized(L, 1, msg::kSecretKey, kX25519Size);
    unsigned char pk[kX25519Size];
    clean_after([&] { crypto_scalarmult_curve25519_base(pk, sk.data); });
    lua_pushlstring(L, reinterpret_cast<const char*>(pk), sizeof pk);
    return 1;
}

int l_x25519(lua_State* L)
{
    const Bytes sk = check_sized(L, 1, msg::kSecretKey, kX25519Size);
    const Bytes pk = check_sized(L, 2, msg::kPublicKey, kX25519Size);
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;
        // Zero-filled: for a low-order peer key some builds of the library
        // return -1 without writing the output at all.
        SecretBytes<kX25519Size> shared;
        static const unsigned char kZero[kX25519Size] = {};
        const int rc = crypto_scalarmult_curve25519(shared.data(), sk.data, pk.data);
        if (rc != 0 || crypto_verify_32(shared.data(), kZero) == 0)
            return reply.fail(msg::kLowOrderPoint);
        reply.push_bytes(shared.data(), kX25519Size);
    });
}

int l_ed25519_keypair(lua_State* L)
{
    const Bytes seed_arg = opt_sized(L, 1, msg::kSeed, kEdSeed);
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;
        SecretBytes<kEdSeed> seed;
        if (!given_or_random(seed.data(), seed_arg, kEdSeed))
            return reply.raise("%s", msg::kEd25519RandomFailed);
        SecretBytes<kEdSecret> secret;
        unsigned char pk[kEdPublic];
        crypto_sign_ed25519_seed_keypair(pk, secret.data(), seed.data());
        reply.push_bytes(secret.data(), kEdSecret);
        reply.push_bytes(pk, sizeof pk);
    });
}

int l_ed25519_public_key(lua_State* L)
{
    const Bytes sk = check_sized(L, 1, msg::kSecretKey, kEdSecret);
    lua_pushlstring(L, reinterpret_cast<const char*>(sk.data + kEdSeed), kEdPublic);
    return 1;
}

int l_ed25519_sign(lua_State* L)
{
    const Bytes sk = check_sized(L, 1, msg::kSecretKey, kEdSecret);
    const Bytes msg = check_bytes(L, 2);
    unsigned char sig[kEdSignature];
    // The second half of the secret key is taken as the signer's public key
    // (libcrypto is asked only when it holds the seed's own public key).
    clean_after([&] {
        if (msg.size < backends().ed25519_bulk_from ||
            libcrypto_ed25519_sign(sig, sk.data, msg.data, msg.size) != BulkResult::done)
            crypto_sign_ed25519_detached(sig, nullptr, msg.data, msg.size, sk.data);
    });
    lua_pushlstring(L, reinterpret_cast<const char*>(sig), sizeof sig);
    return 1;
}

int l_ed25519_verify(lua_State* L)
{
    const Bytes pk = check_bytes(L, 1);
    const Bytes msg = check_bytes(L, 2);
    const Bytes sig = check_bytes(L, 3);
    const bool valid = clean_after([&] {
        return pk.size == kEdPublic && sig.size == kEdSignature && !is_rejected_point(pk.data) &&
               !is_rejected_point(sig.data) &&
               crypto_sign_ed25519_verify_detached(sig.data, msg.data, msg.size, pk.data) == 0;
    });
    lua_pushboolean(L, valid);
    return 1;
}

}  // namespace luamods::crypto
