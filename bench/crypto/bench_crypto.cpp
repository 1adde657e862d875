// Baselines for the crypto benchmark: the same work as the module's
// functions, done by direct libsodium calls behind the thinnest possible Lua
// binding (no size checks, no wiping, no protected push).  Loaded as
// luaopen_bench_crypto; the benchmark compares the module against it.
#include <lua.hpp>
#include <sodium.h>

#include <cstdlib>

#include "luamods_export.hpp"

namespace {

const unsigned char* bytes(lua_State* L, int i, size_t* n = nullptr)
{
    return reinterpret_cast<const unsigned char*>(luaL_checklstring(L, i, n));
}

void push(lua_State* L, const unsigned char* p, size_t n)
{
    lua_pushlstring(L, reinterpret_cast<const char*>(p), n);
}

template <int (*Encrypt)(unsigned char*, unsigned char*, unsigned long long*,
                         const unsigned char*, unsigned long long, const unsigned char*,
                         unsigned long long, const unsigned char*, const unsigned char*,
                         const unsigned char*)>
int aead_encrypt(lua_State* L)
{
    size_t ad_len = 0, m_len = 0;
    const unsigned char* key = bytes(L, 1);
    const unsigned char* nonce = bytes(L, 2);
    const unsigned char* ad = lua_isnil(L, 3) ? nullptr : bytes(L, 3, &ad_len);
    const unsigned char* m = bytes(L, 4, &m_len);
    auto* out = static_cast<unsigned char*>(std::malloc(m_len + 16));
    Encrypt(out, out + m_len, nullptr, m, m_len, ad, ad_len, nullptr, nonce, key);
    push(L, out, m_len + 16);
    std::free(out);
    return 1;
}

int l_sha256(lua_State* L)
{
    size_t n = 0;
    const unsigned char* m = bytes(L, 1, &n);
    unsigned char d[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(d, m, n);
    push(L, d, sizeof d);
    return 1;
}

int l_sha512(lua_State* L)
{
    size_t n = 0;
    const unsigned char* m = bytes(L, 1, &n);
    unsigned char d[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(d, m, n);
    push(L, d, sizeof d);
    return 1;
}

int l_blake2b(lua_State* L)
{
    size_t n = 0;
    const unsigned char* m = bytes(L, 1, &n);
    unsigned char d[64];
    crypto_generichash_blake2b(d, sizeof d, m, n, nullptr, 0);
    push(L, d, sizeof d);
    return 1;
}

int l_ed25519_sign(lua_State* L)
{
    size_t n = 0;
    const unsigned char* sk = bytes(L, 1);
    const unsigned char* m = bytes(L, 2, &n);
    unsigned char sig[crypto_sign_ed25519_BYTES];
    crypto_sign_ed25519_detached(sig, nullptr, m, n, sk);
    push(L, sig, sizeof sig);
    return 1;
}

int l_ed25519_verify(lua_State* L)
{
    size_t n = 0;
    const unsigned char* pk = bytes(L, 1);
    const unsigned char* m = bytes(L, 2, &n);
    const unsigned char* sig = bytes(L, 3);
    lua_pushboolean(L, crypto_sign_ed25519_verify_detached(sig, m, n, pk) == 0);
    return 1;
}

int l_x25519(lua_State* L)
{
    const unsigned char* sk = bytes(L, 1);
    const unsigned char* pk = bytes(L, 2);
    unsigned char shared[crypto_scalarmult_curve25519_BYTES];
    if (crypto_scalarmult_curve25519(shared, sk, pk) != 0)
        return 0;
    push(L, shared, sizeof shared);
    return 1;
}

}  // namespace

LUAMODS_EXPORT int luaopen_bench_crypto(lua_State* L)
{
    if (sodium_init() < 0) {
    }
    static const luaL_Reg functions[] = {
        {"chacha20poly1305_encrypt", aead_encrypt<crypto_aead_chacha20poly1305_ietf_encrypt_detached>},
        {"xchacha20poly1305_encrypt", aead_encrypt<crypto_aead_xchacha20poly1305_ietf_encrypt_detached>},
        {"sha256", l_sha256},
        {"sha512", l_sha512},
        {"blake2b", l_blake2b},
        {"ed25519_sign", l_ed25519_sign},
        {"ed25519_verify", l_ed25519_verify},
        {"x25519", l_x25519},
    };
    lua_createtable(L, 0, 0);
    for (const luaL_Reg& f : functions) {
        lua_pushcfunction(L, f.func);
        lua_setfield(L, -2, f.name);
    }
    return 1;
}
