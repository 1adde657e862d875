// BLAKE2b (RFC 7693), keyed or not, on libsodium, in streaming form: the
// one-shot functions and the state objects both do their work through it.
#pragma once

#include <sodium.h>

#include <cstddef>

namespace luamods::crypto {

inline constexpr std::size_t kBlake2bMax = crypto_generichash_blake2b_BYTES_MAX;        // 64
inline constexpr std::size_t kBlake2bKeyMax = crypto_generichash_blake2b_KEYBYTES_MAX;  // 64

static_assert(kBlake2bMax == 64 && kBlake2bKeyMax == 64);

struct Blake2b {
    // Plain data, 384 bytes, aligned to 64.  After final it still holds the
    // chaining value and the last block (and, keyed, the key's block until
    // the first compression): its holder wipes it.
    using Ctx = crypto_generichash_blake2b_state;

    // A key of 0..64 bytes (empty: unkeyed, as RFC 7693 has it); a digest of
    // 1..64 bytes, which the caller has checked.  With those, libsodium
    // cannot fail.
    static void init(Ctx& c, const void* key, std::size_t key_len, std::size_t out_len) noexcept
    {
        crypto_generichash_blake2b_init(
            &c, key_len > 0 ? static_cast<const unsigned char*>(key) : nullptr, key_len, out_len);
    }
    static void update(Ctx& c, const void* p, std::size_t n) noexcept
    {
        crypto_generichash_blake2b_update(&c, static_cast<const unsigned char*>(p), n);
    }
    // out_len is the one given to init.
    static void final(Ctx& c, unsigned char* out, std::size_t out_len) noexcept
    {
        crypto_generichash_blake2b_final(&c, out, out_len);
    }
};

}  // namespace luamods::crypto
