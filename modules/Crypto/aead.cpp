// ChaCha20-Poly1305 (RFC 8439, 12-byte nonce) and XChaCha20-Poly1305 (24-byte
// nonce).  A sealed message is the ciphertext followed by the 16-byte tag;
// both backends write both straight into one output buffer.
//
// Messages from backends().aead_bulk_from bytes on go to libcrypto, smaller
// ones to libsodium.  XChaCha20-Poly1305 is the RFC 8439 construction under
// an HChaCha20 subkey, so for libcrypto, which has no XChaCha, libsodium
// derives the subkey and libcrypto runs ChaCha20-Poly1305 with it and the
// nonce 0,0,0,0 followed by the last 8 nonce bytes.  Should libcrypto fail
// to do the work, libsodium does it: the bytes are the same either way.
#include <sodium.h>

#include <cstdint>
#include <cstring>

#include "Crypto/args.hpp"
#include "Crypto/backends.hpp"
#include "Crypto/functions.hpp"
#include "Crypto/libcrypto.hpp"
#include "Crypto/messages.hpp"
#include "Crypto/secret.hpp"
#include "Crypto/vector_state.hpp"
#include "common/reply.hpp"

namespace luamods::crypto {

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kTagSize = 16;
// Largest buffer one call produces: 64 MiB plus 64, so that every sealed
// message encrypt can make (plaintext up to 64 MiB + 48) also opens.
constexpr std::size_t kMaxOutput = 0x4000040;
// Outputs up to this size are built on the stack, as random's are: for short
// messages the heap allocation costs a sizeable part of the call.
constexpr std::size_t kStackOutput = 256;

static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == kKeySize);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == kKeySize);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == kTagSize);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == kTagSize);
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12);
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == 24);
static_assert(crypto_core_hchacha20_KEYBYTES == kKeySize &&
              crypto_core_hchacha20_INPUTBYTES == 16 && crypto_core_hchacha20_OUTPUTBYTES == 32);

struct AeadArgs {
    Bytes key, nonce, ad, message;
};

// The key and 12-byte nonce that libcrypto's ChaCha20-Poly1305 needs for a
// message: the caller's own for the 12-byte nonce; for the 24-byte nonce the
// HChaCha20 subkey and the derived nonce.  Wiped when it goes out of scope.
class IetfParams {
public:
    IetfParams(const unsigned char* key, const unsigned char* nonce,
               std::size_t nonce_size) noexcept
    {
        if (nonce_size == 12) {
            key_ = key;
            nonce_ = nonce;
            return;
        }
        crypto_core_hchacha20(subkey_.data(), nonce, key, nullptr);
        std::memcpy(derived_nonce_.data() + 4, nonce + 16, 8);
        key_ = subkey_.data();
        nonce_ = derived_nonce_.data();
    }
    const unsigned char* key() const noexcept { return key_; }
    const unsigned char* nonce() const noexcept { return nonce_; }

private:
    SecretBytes<kKeySize> subkey_;
    SecretBytes<12> derived_nonce_;  // zero-filled: the first 4 bytes stay 0
    const unsigned char* key_ = nullptr;
    const unsigned char* nonce_ = nullptr;
};

BulkResult bulk_seal(unsigned char* out, const AeadArgs& a, std::size_t nonce_size) noexcept
{
    const IetfParams p(a.key.data, a.nonce.data, nonce_size);
    return libcrypto_seal(out, out + a.message.size, a.message.data, a.message.size, a.ad.data,
                          a.ad.size, p.nonce(), p.key());
}

BulkResult bulk_open(unsigned char* out, const AeadArgs& a, std::size_t plain_size,
                     std::size_t nonce_size) noexcept
{
    const IetfParams p(a.key.data, a.nonce.data, nonce_size);
    return libcrypto_open(out, a.message.data, plain_size, a.message.data + plain_size, a.ad.data,
                          a.ad.size, p.nonce(), p.key());
}

AeadArgs read_args(lua_State* L, std::size_t nonce_size)
{
    AeadArgs a;
    a.key = check_sized(L, 1, msg::kKey, kKeySize);
    a.nonce = check_sized(L, 2, msg::kNonce, nonce_size);
    a.ad = opt_bytes(L, 3);
    a.message = check_bytes(L, 4);
    return a;
}

int aead_encrypt_common(lua_State* L, std::size_t nonce_size)
{
    const AeadArgs a = read_args(L, nonce_size);
    if (a.message.size > kMaxOutput - kTagSize)
        return luaL_error(L, "%s", msg::kInputTooLarge);
    const std::size_t out_size = a.message.size + kTagSize;
    return respond(L, kCrypto, [&](Reply& reply) {
        const CleanVectorState clean;
        OutputBytes<kStackOutput> out;
        if (!out.allocate(out_size))
            return reply.raise("%s", msg::kOutOfMemory);
        unsigned char* tag = out.data() + a.message.size;
        if (a.message.size >= backends().aead_bulk_from &&
            bulk_seal(out.data(), a, nonce_size) == BulkResult::done) {
            reply.push_bytes(out.data(), out_size);
            return;
        }
        if (nonce_size == 12)
            crypto_aead_chacha20poly1305_ietf_encrypt_detached(
                out.data(), tag, nullptr, a.message.data, a.message.size, a.ad.data, a.ad.size,
                nullptr, a.nonce.data, a.key.data);
        else
            crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
                out.data(), tag, nullptr, a.message.data, a.message.size, a.ad.data, a.ad.size,
                nullptr, a.nonce.data, a.key.data);
        reply.push_bytes(out.data(), out_size);
    });
}

int aead_decrypt_common(lua_State* L, std::size_t nonce_size)
{
    const AeadArgs a = read_args(L, nonce_size);
    if (a.message.size > kMaxOutput + kTagSize)
        return luaL_error(L, "%s", msg::kInputTooLarge);
    return respond(L, kCrypto, [&](Reply& reply) {
        if (a.message.size < kTagSize)
            return reply.fail(msg::kCiphertextTooShort);
        const std::size_t plain_size = a.message.size - kTagSize;
        const CleanVectorState clean;
        OutputBytes<kStackOutput> plain;
        if (!plain.allocate(plain_size))
            return reply.raise("%s", msg::kOutOfMemory);
        const unsigned char* tag = a.message.data + plain_size;
        BulkResult bulk = BulkResult::unavailable;
        if (plain_size >= backends().aead_bulk_from)
            bulk = bulk_open(plain.data(), a, plain_size, nonce_size);
        if (bulk == BulkResult::forged)
            return reply.fail(msg::kAuthenticationFailed);
        if (bulk == BulkResult::done) {
            reply.push_bytes(plain.data(), plain_size);
            return;
        }
        int rc;
        if (nonce_size == 12)
            rc = crypto_aead_chacha20poly1305_ietf_decrypt_detached(
                plain.data(), nullptr, a.message.data, plain_size, tag, a.ad.data, a.ad.size,
                a.nonce.data, a.key.data);
        else
            rc = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                plain.data(), nullptr, a.message.data, plain_size, tag, a.ad.data, a.ad.size,
                a.nonce.data, a.key.data);
        if (rc != 0)
            return reply.fail(msg::kAuthenticationFailed);
        reply.push_bytes(plain.data(), plain_size);
    });
}

}  // namespace

int l_chacha20poly1305_encrypt(lua_State* L) { return aead_encrypt_common(L, 12); }

int l_chacha20poly1305_decrypt(lua_State* L) { return aead_decrypt_common(L, 12); }

int l_xchacha20poly1305_encrypt(lua_State* L) { return aead_encrypt_common(L, 24); }

int l_xchacha20poly1305_decrypt(lua_State* L) { return aead_decrypt_common(L, 24); }

}  // namespace luamods::crypto
