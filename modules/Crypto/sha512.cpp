// The SHA-512 family on libcrypto.  It uses the streaming SHA512_Init /
// _Update / _Final calls, which OpenSSL 3 marks deprecated in favour of its
// EVP layer: EVP allocates a context and dispatches through a provider on
// every call, which costs more than hashing a short message, while these run
// on a context of plain data with no allocation (on the stack of a one-shot
// function, inside a state object).  They remain part of the OpenSSL 3 API,
// and the Windows build keeps them (scripts/deps.sh).
#define OPENSSL_SUPPRESS_DEPRECATED
#include "Crypto/sha512.hpp"

#include <openssl/sha.h>

#include "Crypto/secret.hpp"

namespace luamods::crypto {

namespace {

static_assert(SHA512_DIGEST_LENGTH == kSha512Size && SHA512_CBLOCK == kSha512Block);
static_assert(sizeof(SHA512_CTX) == sizeof(sha512_ctx) &&
              alignof(SHA512_CTX) <= alignof(sha512_ctx));

SHA512_CTX* get(sha512_ctx& ctx) { return reinterpret_cast<SHA512_CTX*>(ctx.opaque); }

}  // namespace

void sha512_init(sha512_ctx& ctx) noexcept { SHA512_Init(get(ctx)); }

void sha512_update(sha512_ctx& ctx, const void* data, std::size_t n) noexcept
{
    SHA512_Update(get(ctx), data, n);
}

void sha512_final(sha512_ctx& ctx, unsigned char* out) noexcept { SHA512_Final(out, get(ctx)); }

void sha512_hash(unsigned char* out, const void* data, std::size_t n) noexcept
{
    Secret<sha512_ctx> ctx;
    Sha512::init(*ctx);
    Sha512::update(*ctx, data, n);
    Sha512::final(*ctx, out);
}

}  // namespace luamods::crypto
