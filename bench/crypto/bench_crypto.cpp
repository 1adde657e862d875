// Baselines for the crypto benchmark: the same work as the module's
// functions, done by direct libsodium calls and by direct OpenSSL libcrypto
// calls behind the thinnest possible Lua binding (no size checks, no wiping,
// no protected push, and nothing done about the vector state libcrypto
// leaves).  Loaded as luaopen_bench_crypto, which returns three tables,
// sodium, openssl and tools; the benchmark compares the module against the
// faster of the two libraries for every operation.  tools.clear_vector_state()
// runs vzeroupper where the CPU has AVX: the benchmark starts every
// measurement from a clean vector state with it.
//
// The libcrypto calls are the quickest public ones: the one-shot SHA256() and
// SHA512(), HMAC(), EVP with the cipher fetched once, and EVP_PKEY for the
// curves (keys given as raw bytes, as the module takes them).  A libcrypto
// function returns nothing where its algorithm is not built in (the Windows
// libcrypto has only what the module uses: no BLAKE2b, no curves).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <lua.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <sodium.h>

#include <cstdlib>
#include <cstring>

#include "Crypto/vector_state.hpp"
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

template <int (*Encrypt)(unsigned char*, unsigned char*, unsigned long long*, const unsigned char*,
                         unsigned long long, const unsigned char*, unsigned long long,
                         const unsigned char*, const unsigned char*, const unsigned char*)>
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

template <int (*Decrypt)(unsigned char*, unsigned char*, const unsigned char*, unsigned long long,
                         const unsigned char*, const unsigned char*, unsigned long long,
                         const unsigned char*, const unsigned char*)>
int aead_decrypt(lua_State* L)
{
    size_t ad_len = 0, c_len = 0;
    const unsigned char* key = bytes(L, 1);
    const unsigned char* nonce = bytes(L, 2);
    const unsigned char* ad = lua_isnil(L, 3) ? nullptr : bytes(L, 3, &ad_len);
    const unsigned char* c = bytes(L, 4, &c_len);
    const size_t m_len = c_len - 16;
    auto* out = static_cast<unsigned char*>(std::malloc(m_len + 1));
    const int rc = Decrypt(out, nullptr, c, m_len, c + m_len, ad, ad_len, nonce, key);
    if (rc == 0)
        push(L, out, m_len);
    std::free(out);
    return rc == 0 ? 1 : 0;
}

// A one-shot hash of the message (SHA-256, SHA-512).
template <std::size_t Size, int (*Hash)(unsigned char*, const unsigned char*, unsigned long long)>
int l_hash(lua_State* L)
{
    size_t n = 0;
    const unsigned char* m = bytes(L, 1, &n);
    unsigned char d[Size];
    Hash(d, m, n);
    push(L, d, sizeof d);
    return 1;
}

// HMAC through libsodium's streaming calls, which take a key of any length
// (the one-shot ones take a fixed-size key).
template <class State, std::size_t Size, int (*Init)(State*, const unsigned char*, size_t),
          int (*Update)(State*, const unsigned char*, unsigned long long),
          int (*Final)(State*, unsigned char*)>
int l_hmac(lua_State* L)
{
    size_t k = 0, n = 0;
    const unsigned char* key = bytes(L, 1, &k);
    const unsigned char* m = bytes(L, 2, &n);
    unsigned char d[Size];
    State st;
    Init(&st, key, k);
    Update(&st, m, n);
    Final(&st, d);
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

// --- OpenSSL libcrypto -------------------------------------------------------

const EVP_CIPHER* chacha20_poly1305()
{
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    return cipher;
}

const EVP_MD* blake2b512()
{
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr);
    return md;
}

void evp_seal(unsigned char* out, const unsigned char* key, const unsigned char* iv,
              const unsigned char* ad, size_t ad_len, const unsigned char* m, size_t m_len)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex2(ctx, chacha20_poly1305(), key, iv, nullptr);
    if (ad_len > 0)
        EVP_EncryptUpdate(ctx, nullptr, &len, ad, static_cast<int>(ad_len));
    EVP_EncryptUpdate(ctx, out, &len, m, static_cast<int>(m_len));
    EVP_EncryptFinal_ex(ctx, out + m_len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out + m_len);
    EVP_CIPHER_CTX_free(ctx);
}

bool evp_open(unsigned char* out, const unsigned char* key, const unsigned char* iv,
              const unsigned char* ad, size_t ad_len, const unsigned char* c, size_t m_len)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_DecryptInit_ex2(ctx, chacha20_poly1305(), key, iv, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, const_cast<unsigned char*>(c + m_len));
    if (ad_len > 0)
        EVP_DecryptUpdate(ctx, nullptr, &len, ad, static_cast<int>(ad_len));
    EVP_DecryptUpdate(ctx, out, &len, c, static_cast<int>(m_len));
    const bool ok = EVP_DecryptFinal_ex(ctx, out + m_len, &len) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

// XChaCha20-Poly1305 has no libcrypto cipher: the HChaCha20 subkey comes
// from libsodium, the AEAD from libcrypto, as the module does it.
void xchacha_params(unsigned char* subkey, unsigned char* iv, const unsigned char* key,
                    const unsigned char* nonce24)
{
    crypto_core_hchacha20(subkey, nonce24, key, nullptr);
    std::memset(iv, 0, 4);
    std::memcpy(iv + 4, nonce24 + 16, 8);
}

// libcrypto's AEAD in the form of libsodium's detached calls, so that the
// same aead_encrypt and aead_decrypt read the arguments for both libraries.
template <bool X>
int o_encrypt_detached(unsigned char* c, unsigned char*, unsigned long long*,
                       const unsigned char* m, unsigned long long m_len, const unsigned char* ad,
                       unsigned long long ad_len, const unsigned char*, const unsigned char* nonce,
                       const unsigned char* key)
{
    unsigned char subkey[32], iv[12];
    if (X)
        xchacha_params(subkey, iv, key, nonce);
    evp_seal(c, X ? subkey : key, X ? iv : nonce, ad, ad_len, m, m_len);
    return 0;
}

// The tag is read after the ciphertext, where aead_decrypt has it.
template <bool X>
int o_decrypt_detached(unsigned char* m, unsigned char*, const unsigned char* c,
                       unsigned long long m_len, const unsigned char*, const unsigned char* ad,
                       unsigned long long ad_len, const unsigned char* nonce,
                       const unsigned char* key)
{
    unsigned char subkey[32], iv[12];
    if (X)
        xchacha_params(subkey, iv, key, nonce);
    return evp_open(m, X ? subkey : key, X ? iv : nonce, ad, ad_len, c, m_len) ? 0 : -1;
}

// The one-shot SHA256() and SHA512().
template <std::size_t Size, unsigned char* (*Hash)(const unsigned char*, size_t, unsigned char*)>
int o_hash(lua_State* L)
{
    size_t n = 0;
    const unsigned char* m = bytes(L, 1, &n);
    unsigned char d[Size];
    Hash(m, n, d);
    push(L, d, sizeof d);
    return 1;
}

template <const EVP_MD* (*Md)()>
int o_hmac(lua_State* L)
{
    size_t k = 0, n = 0;
    const unsigned char* key = bytes(L, 1, &k);
    const unsigned char* m = bytes(L, 2, &n);
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(Md(), key, static_cast<int>(k), m, n, d, &len);
    push(L, d, len);
    return 1;
}

int o_blake2b(lua_State* L)
{
    size_t n = 0;
    const unsigned char* m = bytes(L, 1, &n);
    unsigned char d[64];
    unsigned int len = 0;
    if (blake2b512() == nullptr || EVP_Digest(m, n, d, &len, blake2b512(), nullptr) != 1)
        return 0;
    push(L, d, len);
    return 1;
}

// The module's Ed25519 secret key is the seed followed by the public key.
int o_ed25519_sign(lua_State* L)
{
    size_t n = 0;
    const unsigned char* sk = bytes(L, 1);
    const unsigned char* m = bytes(L, 2, &n);
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, sk, 32);
    if (key == nullptr)
        return 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char sig[64];
    size_t len = sizeof sig;
    EVP_DigestSignInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key, nullptr);
    EVP_DigestSign(ctx, sig, &len, m, n);
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    push(L, sig, len);
    return 1;
}

int o_ed25519_verify(lua_State* L)
{
    size_t n = 0;
    const unsigned char* pk = bytes(L, 1);
    const unsigned char* m = bytes(L, 2, &n);
    const unsigned char* sig = bytes(L, 3);
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pk, 32);
    if (key == nullptr)
        return 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key, nullptr);
    const bool ok = EVP_DigestVerify(ctx, sig, 64, m, n) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    lua_pushboolean(L, ok);
    return 1;
}

int o_x25519(lua_State* L)
{
    const unsigned char* sk = bytes(L, 1);
    const unsigned char* pk = bytes(L, 2);
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, sk, 32);
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, pk, 32);
    if (key == nullptr || peer == nullptr) {
        EVP_PKEY_free(peer);
        EVP_PKEY_free(key);
        return 0;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    unsigned char shared[32];
    size_t len = sizeof shared;
    const bool ok = EVP_PKEY_derive_init(ctx) == 1 &&
                    EVP_PKEY_derive_set_peer_ex(ctx, peer, 0) == 1 &&
                    EVP_PKEY_derive(ctx, shared, &len) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(key);
    if (!ok)
        return 0;
    push(L, shared, len);
    return 1;
}

// --- The vector state ---------------------------------------------------------

int t_clear_vector_state(lua_State*)
{
    luamods::crypto::clear_upper_vector_state();
    return 0;
}

void push_table(lua_State* L, const luaL_Reg* f, std::size_t n)
{
    lua_createtable(L, 0, static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i) {
        lua_pushcfunction(L, f[i].func);
        lua_setfield(L, -2, f[i].name);
    }
}

}  // namespace

LUAMODS_EXPORT int luaopen_bench_crypto(lua_State* L)
{
    if (sodium_init() < 0) {
    }
#ifdef _WIN32
    // No atexit clean-up from a libcrypto linked into an unloadable DLL (see
    // modules/Crypto/libcrypto.cpp).
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
    static const luaL_Reg sodium[] = {
        {"chacha20poly1305_encrypt",
         aead_encrypt<crypto_aead_chacha20poly1305_ietf_encrypt_detached>},
        {"chacha20poly1305_decrypt",
         aead_decrypt<crypto_aead_chacha20poly1305_ietf_decrypt_detached>},
        {"xchacha20poly1305_encrypt",
         aead_encrypt<crypto_aead_xchacha20poly1305_ietf_encrypt_detached>},
        {"xchacha20poly1305_decrypt",
         aead_decrypt<crypto_aead_xchacha20poly1305_ietf_decrypt_detached>},
        {"sha256", l_hash<crypto_hash_sha256_BYTES, crypto_hash_sha256>},
        {"sha512", l_hash<crypto_hash_sha512_BYTES, crypto_hash_sha512>},
        {"hmac_sha256", l_hmac<crypto_auth_hmacsha256_state, crypto_auth_hmacsha256_BYTES,
                               crypto_auth_hmacsha256_init, crypto_auth_hmacsha256_update,
                               crypto_auth_hmacsha256_final>},
        {"hmac_sha512", l_hmac<crypto_auth_hmacsha512_state, crypto_auth_hmacsha512_BYTES,
                               crypto_auth_hmacsha512_init, crypto_auth_hmacsha512_update,
                               crypto_auth_hmacsha512_final>},
        {"blake2b", l_blake2b},
        {"ed25519_sign", l_ed25519_sign},
        {"ed25519_verify", l_ed25519_verify},
        {"x25519", l_x25519},
    };
    static const luaL_Reg openssl[] = {
        {"chacha20poly1305_encrypt", aead_encrypt<o_encrypt_detached<false>>},
        {"chacha20poly1305_decrypt", aead_decrypt<o_decrypt_detached<false>>},
        {"xchacha20poly1305_encrypt", aead_encrypt<o_encrypt_detached<true>>},
        {"xchacha20poly1305_decrypt", aead_decrypt<o_decrypt_detached<true>>},
        {"sha256", o_hash<SHA256_DIGEST_LENGTH, SHA256>},
        {"sha512", o_hash<SHA512_DIGEST_LENGTH, SHA512>},
        {"hmac_sha256", o_hmac<EVP_sha256>},
        {"hmac_sha512", o_hmac<EVP_sha512>},
        {"blake2b", o_blake2b},
        {"ed25519_sign", o_ed25519_sign},
        {"ed25519_verify", o_ed25519_verify},
        {"x25519", o_x25519},
    };
    static const luaL_Reg tools[] = {
        {"clear_vector_state", t_clear_vector_state},
    };
    push_table(L, sodium, sizeof sodium / sizeof *sodium);
    push_table(L, openssl, sizeof openssl / sizeof *openssl);
    push_table(L, tools, sizeof tools / sizeof *tools);
    return 3;
}
