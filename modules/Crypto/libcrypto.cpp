#include "Crypto/libcrypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <memory>

namespace luamods::crypto {

namespace {

constexpr int kTagSize = 16;

// libcrypto as this module uses it, set up once per process: initialised,
// and the cipher fetched (a fetch looks the algorithm up in the provider
// store, which costs as much as sealing a kilobyte).  The fetched object is
// immutable and shared by every thread; it is given back when the module is
// unloaded.  Every function here goes through setup() first.
class Setup {
public:
    Setup() noexcept
    {
#ifdef _WIN32
        // libcrypto is linked into this DLL, and by default its first use
        // registers a clean-up with atexit, which the C runtime runs at
        // process exit: after the host has unloaded the module, so into
        // unmapped code.  Asked first, with this flag, it registers nothing.
        // (Natively libcrypto is its own shared library and runs its
        // clean-up when it is unloaded.)
        if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) != 1)
            return;
#endif
        ready_ = true;
        cipher_ = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    }
    Setup(const Setup&) = delete;
    Setup& operator=(const Setup&) = delete;
    ~Setup() { EVP_CIPHER_free(cipher_); }

    // False when libcrypto could not be initialised: nothing may call it.
    bool ready() const noexcept { return ready_; }
    // Null when libcrypto cannot supply the cipher.
    const EVP_CIPHER* chacha20_poly1305() const noexcept { return cipher_; }

private:
    bool ready_ = false;
    EVP_CIPHER* cipher_ = nullptr;
};

const Setup& setup() noexcept
{
    static const Setup once;
    return once;
}

const EVP_CIPHER* chacha20_poly1305() noexcept { return setup().chacha20_poly1305(); }

bool fits_int(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

// One EVP context per call.  EVP_CIPHER_CTX_free has the provider clear and
// free its state (key, Poly1305 accumulator) and zeroes the EVP part.
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// The steps sealing (Seal) and opening share: makes the context, starts it
// with the key and nonce (to open, with the expected tag, which goes in
// before the data; the provider copies it) and runs the associated data and
// the n bytes of `in` through it into `out`.  False when libcrypto cannot
// take the call: no cipher, a size beyond an int, or a step that failed.
// The direction is a template argument, so that libcrypto_seal and
// libcrypto_open each call the Encrypt or Decrypt functions directly.
template <bool Seal>
bool start_aead(CipherCtx& ctx, unsigned char* out, const unsigned char* in, std::size_t n,
                const unsigned char* ad, std::size_t ad_len, const unsigned char* nonce12,
                const unsigned char* key, const unsigned char* tag) noexcept
{
    const EVP_CIPHER* cipher = chacha20_poly1305();
    if (cipher == nullptr || !fits_int(n) || !fits_int(ad_len))
        return false;
    ctx.reset(EVP_CIPHER_CTX_new());
    if (!ctx)
        return false;
    if constexpr (Seal) {
        if (EVP_EncryptInit_ex2(ctx.get(), cipher, key, nonce12, nullptr) != 1)
            return false;
    } else {
        if (EVP_DecryptInit_ex2(ctx.get(), cipher, key, nonce12, nullptr) != 1 ||
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagSize,
                                const_cast<unsigned char*>(tag)) != 1)
            return false;
    }
    const auto update = [&ctx](unsigned char* to, const unsigned char* from, std::size_t size) {
        int len = 0;
        if constexpr (Seal)
            return EVP_EncryptUpdate(ctx.get(), to, &len, from, static_cast<int>(size)) == 1;
        else
            return EVP_DecryptUpdate(ctx.get(), to, &len, from, static_cast<int>(size)) == 1;
    };
    return (ad_len == 0 || update(nullptr, ad, ad_len)) && (n == 0 || update(out, in, n));
}

}  // namespace

BulkResult libcrypto_seal(unsigned char* out, unsigned char* tag, const unsigned char* message,
                          std::size_t n, const unsigned char* ad, std::size_t ad_len,
                          const unsigned char* nonce12, const unsigned char* key) noexcept
{
    CipherCtx ctx;
    int len = 0;
    if (!start_aead<true>(ctx, out, message, n, ad, ad_len, nonce12, key, nullptr) ||
        EVP_EncryptFinal_ex(ctx.get(), out + n, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kTagSize, tag) != 1)
        return BulkResult::unavailable;
    return BulkResult::done;
}

BulkResult libcrypto_open(unsigned char* out, const unsigned char* ciphertext, std::size_t n,
                          const unsigned char* tag, const unsigned char* ad, std::size_t ad_len,
                          const unsigned char* nonce12, const unsigned char* key) noexcept
{
    CipherCtx ctx;
    if (!start_aead<false>(ctx, out, ciphertext, n, ad, ad_len, nonce12, key, tag))
        return BulkResult::unavailable;
    // Final compares the tags (in constant time); its only failure is a mismatch.
    int len = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out + n, &len) != 1)
        return BulkResult::forged;
    return BulkResult::done;
}

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};

}  // namespace

BulkResult libcrypto_ed25519_sign(unsigned char* sig, const unsigned char* secret_key,
                                  const unsigned char* message, std::size_t n) noexcept
{
    if (!setup().ready())
        return BulkResult::unavailable;
    // Freeing the key clears its private half (libcrypto's own wipe).
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret_key, 32));
    if (!key)
        return BulkResult::unavailable;
    unsigned char public_key[32];
    std::size_t public_len = sizeof public_key;
    if (EVP_PKEY_get_raw_public_key(key.get(), public_key, &public_len) != 1 ||
        public_len != sizeof public_key ||
        std::memcmp(public_key, secret_key + 32, sizeof public_key) != 0)
        return BulkResult::unavailable;
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    std::size_t sig_len = 64;
    if (!ctx ||
        EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) !=
            1 ||
        EVP_DigestSign(ctx.get(), sig, &sig_len, message, n) != 1 || sig_len != 64)
        return BulkResult::unavailable;
    return BulkResult::done;
}

const char* libcrypto_version() noexcept { return OpenSSL_version(OPENSSL_VERSION_STRING); }

}  // namespace luamods::crypto
