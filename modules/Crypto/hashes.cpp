// Hashes, MACs and key derivation in one call: SHA-256 (own), SHA-512, HMAC,
// HKDF and BLAKE2b.  The SHA-512 family runs on libcrypto (sha512.cpp),
// BLAKE2b on libsodium (blake2b.hpp).  Each works through the same streaming
// code as the state objects of hash_state.cpp (init, one update, final), so
// that both forms give the same bytes.
#include <cstring>

#include "Crypto/args.hpp"
#include "Crypto/blake2b.hpp"
#include "Crypto/functions.hpp"
#include "Crypto/hmac.hpp"
#include "Crypto/messages.hpp"
#include "Crypto/secret.hpp"
#include "Crypto/sha256.hpp"
#include "Crypto/sha512.hpp"
#include "Crypto/vector_state.hpp"
#include "common/reply.hpp"

namespace luamods::crypto {

namespace {

void push_digest(lua_State* L, const unsigned char* digest, std::size_t n)
{
    lua_pushlstring(L, reinterpret_cast<const char*>(digest), n);
}

// The body of hkdf_sha256 and hkdf_sha512.
int hkdf_common(lua_State* L, bool sha512)
{
    const Bytes ikm = check_bytes(L, 1);
    const Bytes salt = opt_bytes(L, 2);
    const Bytes info = opt_bytes(L, 3);
    const std::int64_t length = check_saturated_arg(L, 4, kIntegerTexts, nullptr);
    const auto limit = static_cast<std::int64_t>(sha512 ? kHkdfSha512Max : kHkdfSha256Max);
    if (length < 0 || length > limit)
        return luaL_error(L, "%s", msg::kHkdfLength);
    const auto size = static_cast<std::size_t>(length);
    return respond(L, kCrypto, [&](Reply& reply) {
        HeapBytes out;
        if (!out.allocate(size))
            return reply.raise("%s", msg::kOutOfMemory);
        if (sha512) {
            const CleanVectorState clean;
            hkdf_derive<Sha512>(out.data(), size, ikm.data, ikm.size, salt.data, salt.size,
                                info.data, info.size);
        } else {
            hkdf_derive<Sha256>(out.data(), size, ikm.data, ikm.size, salt.data, salt.size,
                                info.data, info.size);
        }
        reply.push_bytes(out.data(), size);
    });
}

}  // namespace

int l_sha256(lua_State* L)
{
    const Bytes msg = check_bytes(L, 1);
    unsigned char digest[kSha256Size];
    sha256_hash(digest, msg.data, msg.size);
    push_digest(L, digest, sizeof digest);
    return 1;
}

int l_sha512(lua_State* L)
{
    const Bytes msg = check_bytes(L, 1);
    unsigned char digest[kSha512Size];
    clean_after([&] { sha512_hash(digest, msg.data, msg.size); });
    push_digest(L, digest, sizeof digest);
    return 1;
}

int l_hmac_sha256(lua_State* L)
{
    const Bytes key = check_bytes(L, 1);
    const Bytes msg = check_bytes(L, 2);
    return respond(L, kCrypto, [&](Reply& reply) {
        SecretBytes<kSha256Size> mac;
        hmac_parts<Sha256>(mac.data(), key.data, key.size, msg.data, msg.size, nullptr, 0, false,
                           0);
        reply.push_bytes(mac.data(), mac.size());
    });
}

int l_hmac_sha512(lua_State* L)
{
    const Bytes key = check_bytes(L, 1);
    const Bytes msg = check_bytes(L, 2);
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;
        SecretBytes<kSha512Size> mac;
        hmac_parts<Sha512>(mac.data(), key.data, key.size, msg.data, msg.size, nullptr, 0, false,
                           0);
        reply.push_bytes(mac.data(), mac.size());
    });
}

int l_hkdf_sha256(lua_State* L) { return hkdf_common(L, false); }

int l_hkdf_sha512(lua_State* L) { return hkdf_common(L, true); }

int l_blake2b(lua_State* L)
{
    const Bytes msg = check_bytes(L, 1);
    const std::size_t size = check_blake2b_length(L, 2, msg::kBlake2bLength);
    unsigned char digest[kBlake2bMax];
    clean_after([&] {
        Blake2b::Ctx ctx;
        Blake2b::init(ctx, nullptr, 0, size);
        Blake2b::update(ctx, msg.data, msg.size);
        Blake2b::final(ctx, digest, size);
    });
    push_digest(L, digest, size);
    return 1;
}

int l_blake2b_keyed(lua_State* L)
{
    const Bytes key = check_bytes(L, 1);
    const Bytes msg = check_bytes(L, 2);
    const std::size_t size = check_blake2b_keyed(L, key, 3);
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;
        SecretBytes<kBlake2bMax> digest;
        Secret<Blake2b::Ctx> ctx;
        Blake2b::init(*ctx, key.data, key.size, size);
        Blake2b::update(*ctx, msg.data, msg.size);
        Blake2b::final(*ctx, digest.data(), size);
        reply.push_bytes(digest.data(), size);
    });
}

}  // namespace luamods::crypto
