#include "Crypto/libcrypto_aead.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>

namespace luamods::crypto {

namespace {

constexpr int kTagSize = 16;

// The cipher, fetched once per process: a fetch looks the algorithm up in
// the provider store, which costs as much as sealing a kilobyte.  The fetched
// object is immutable and shared by every thread; it is given back when the
// module is unloaded.  Null when libcrypto cannot supply the cipher: every
// call then goes to libsodium.
class FetchedCipher {
public:
    FetchedCipher() noexcept
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
        cipher_ = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    }
    FetchedCipher(const FetchedCipher&) = delete;
    FetchedCipher& operator=(const FetchedCipher&) = delete;
    ~FetchedCipher() { EVP_CIPHER_free(cipher_); }
    const EVP_CIPHER* get() const noexcept { return cipher_; }

private:
    EVP_CIPHER* cipher_ = nullptr;
};

const EVP_CIPHER* chacha20_poly1305() noexcept
{
    static const FetchedCipher cipher;
    return cipher.get();
}

// One EVP context per call.  EVP_CIPHER_CTX_free has the provider clear and
// free its state (key, Poly1305 accumulator) and zeroes the EVP part.
class CipherCtx {
public:
    CipherCtx() noexcept : ctx_(EVP_CIPHER_CTX_new()) {}
    CipherCtx(const CipherCtx&) = delete;
    CipherCtx& operator=(const CipherCtx&) = delete;
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx_); }
    EVP_CIPHER_CTX* get() const noexcept { return ctx_; }

private:
    EVP_CIPHER_CTX* ctx_;
};

bool fits_int(std::size_t n)
{
    return n <= static_cast<std::size_t>(INT_MAX);
}

}  // namespace

BulkResult libcrypto_seal(unsigned char* out, unsigned char* tag, const unsigned char* message,
                          std::size_t n, const unsigned char* ad, std::size_t ad_len,
                          const unsigned char* nonce12, const unsigned char* key) noexcept
{
    const EVP_CIPHER* cipher = chacha20_poly1305();
    if (cipher == nullptr || !fits_int(n) || !fits_int(ad_len))
        return BulkResult::unavailable;
    CipherCtx ctx;
    int len = 0;
    if (ctx.get() == nullptr || EVP_EncryptInit_ex2(ctx.get(), cipher, key, nonce12, nullptr) != 1)
        return BulkResult::unavailable;
    if (ad_len > 0 && EVP_EncryptUpdate(ctx.get(), nullptr, &len, ad, static_cast<int>(ad_len)) != 1)
        return BulkResult::unavailable;
    if (n > 0 && EVP_EncryptUpdate(ctx.get(), out, &len, message, static_cast<int>(n)) != 1)
        return BulkResult::unavailable;
    if (EVP_EncryptFinal_ex(ctx.get(), out + n, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kTagSize, tag) != 1)
        return BulkResult::unavailable;
    return BulkResult::done;
}

BulkResult libcrypto_open(unsigned char* out, const unsigned char* ciphertext, std::size_t n,
                          const unsigned char* tag, const unsigned char* ad, std::size_t ad_len,
                          const unsigned char* nonce12, const unsigned char* key) noexcept
{
    const EVP_CIPHER* cipher = chacha20_poly1305();
    if (cipher == nullptr || !fits_int(n) || !fits_int(ad_len))
        return BulkResult::unavailable;
    CipherCtx ctx;
    int len = 0;
    if (ctx.get() == nullptr || EVP_DecryptInit_ex2(ctx.get(), cipher, key, nonce12, nullptr) != 1)
        return BulkResult::unavailable;
    // The expected tag goes in before the data; the provider copies it.
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagSize,
                            const_cast<unsigned char*>(tag)) != 1)
        return BulkResult::unavailable;
    if (ad_len > 0 && EVP_DecryptUpdate(ctx.get(), nullptr, &len, ad, static_cast<int>(ad_len)) != 1)
        return BulkResult::unavailable;
    if (n > 0 && EVP_DecryptUpdate(ctx.get(), out, &len, ciphertext, static_cast<int>(n)) != 1)
        return BulkResult::unavailable;
    // Final compares the tags (in constant time); its only failure is a mismatch.
    if (EVP_DecryptFinal_ex(ctx.get(), out + n, &len) != 1)
        return BulkResult::forged;
    return BulkResult::done;
}

const char* libcrypto_version() noexcept
{
    return OpenSSL_version(OPENSSL_VERSION_STRING);
}

}  // namespace luamods::crypto
