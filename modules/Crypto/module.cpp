// luaopen_crypto and the two functions that need no cryptographic library:
// random and equal.
#include <sodium.h>

#include <cstdint>

#include "Crypto/args.hpp"
#include "Crypto/functions.hpp"
#include "Crypto/libcrypto.hpp"
#include "Crypto/messages.hpp"
#include "Crypto/random.hpp"
#include "Crypto/secret.hpp"
#include "Crypto/vector_state.hpp"
#include "common/reply.hpp"
#include "luamods_export.hpp"
#include "luamods_version.hpp"

namespace luamods::crypto {

namespace {
constexpr std::uint64_t kRandomMax = 0x4000000;  // 64 MiB
constexpr std::size_t kRandomStack = 256;
}  // namespace

int l_random(lua_State* L)
{
    const std::int64_t n = check_saturated_arg(L, 1, kIntegerTexts, nullptr);
    if (static_cast<std::uint64_t>(n) > kRandomMax)
        return luaL_error(L, "%s", msg::kRandomSize);
    const auto size = static_cast<std::size_t>(n);
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;  // the system generator's code is not ours
        if (size <= kRandomStack) {
            SecretBytes<kRandomStack> buf;
            if (size > 0 && !system_random(buf.data(), size))
                return reply.raise("%s", msg::kRandomFailed);
            reply.push_bytes(buf.data(), size);
            return;
        }
        HeapBytes buf;
        if (!buf.allocate(size))
            return reply.raise("%s", msg::kOutOfMemory);
        if (!system_random(buf.data(), size))
            return reply.raise("%s", msg::kRandomFailed);
        reply.push_bytes(buf.data(), size);
    });
}

int l_equal(lua_State* L)
{
    const Bytes a = check_bytes(L, 1);
    const Bytes b = check_bytes(L, 2);
    if (a.size != b.size) {
        lua_pushboolean(L, 0);
        return 1;
    }
    // Every byte is visited; the accumulator lives in memory, so the loop
    // cannot be shortened into an early exit.
    volatile unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size; ++i)
        diff = static_cast<unsigned char>(diff | (a.data[i] ^ b.data[i]));
    lua_pushboolean(L, diff == 0);
    return 1;
}

}  // namespace luamods::crypto

LUAMODS_EXPORT int luaopen_crypto(lua_State* L)
{
    using namespace luamods::crypto;
    // Selects libsodium's fastest implementations for this processor; it is
    // idempotent and thread-safe.  Should it fail, the portable code stays in
    // use, which gives the same results, so the module works either way and
    // its result is not needed.
    [[maybe_unused]] const int sodium_ready = sodium_init();

    static const luaL_Reg functions[] = {
        {"random", l_random},
        {"x25519_keypair", l_x25519_keypair},
        {"x25519_public_key", l_x25519_public_key},
        {"x25519", l_x25519},
        {"ed25519_keypair", l_ed25519_keypair},
        {"ed25519_public_key", l_ed25519_public_key},
        {"ed25519_sign", l_ed25519_sign},
        {"ed25519_verify", l_ed25519_verify},
        {"chacha20poly1305_encrypt", l_chacha20poly1305_encrypt},
        {"chacha20poly1305_decrypt", l_chacha20poly1305_decrypt},
        {"xchacha20poly1305_encrypt", l_xchacha20poly1305_encrypt},
        {"xchacha20poly1305_decrypt", l_xchacha20poly1305_decrypt},
        {"sha256", l_sha256},
        {"sha512", l_sha512},
        {"hmac_sha256", l_hmac_sha256},
        {"hmac_sha512", l_hmac_sha512},
        {"hkdf_sha256", l_hkdf_sha256},
        {"hkdf_sha512", l_hkdf_sha512},
        {"blake2b", l_blake2b},
        {"blake2b_keyed", l_blake2b_keyed},
        {"equal", l_equal},
    };
    static const luaL_Reg state_functions[] = {
        {"sha256_init", l_sha256_init},           {"sha512_init", l_sha512_init},
        {"hmac_sha256_init", l_hmac_sha256_init}, {"hmac_sha512_init", l_hmac_sha512_init},
        {"blake2b_init", l_blake2b_init},         {"blake2b_keyed_init", l_blake2b_keyed_init},
    };
    luamods::open_boundary(L);
    lua_createtable(L, 0, 0);
    for (const luaL_Reg& f : functions) {
        lua_pushcclosure(L, f.func, 0);
        lua_setfield(L, -2, f.name);
    }
    push_state_metatable(L);
    for (const luaL_Reg& f : state_functions) {
        lua_pushvalue(L, -1);
        lua_pushcclosure(L, f.func, 1);
        lua_setfield(L, -3, f.name);
    }
    lua_pop(L, 1);
    lua_pushstring(L, LUAMODS_VERSION);
    lua_setfield(L, -2, "_VERSION");
    lua_pushfstring(L, "libsodium-%s+openssl-%s", sodium_version_string(), libcrypto_version());
    lua_setfield(L, -2, "_BACKEND");
    return 1;
}
