// HMAC (RFC 2104) and HKDF (RFC 5869), written once over any hash with this
// streaming interface (Sha256 in sha256.hpp, Sha512 in sha512.hpp):
//
//     struct Hash {
//         using Ctx = ...;                               // plain data
//         static constexpr std::size_t kBlock = ..., kSize = ...;
//         static void init(Ctx&) noexcept;
//         static void update(Ctx&, const void*, std::size_t) noexcept;
//         static void final(Ctx&, unsigned char* out) noexcept;
//     };
//
// Every intermediate that derives from the key (key block, pads, contexts,
// inner digest, PRK, T(i)) is wiped on the way out; the state objects
// (hash_state.cpp) wipe the contexts they hold.
#pragma once

#include <cstddef>
#include <cstring>

#include "Crypto/secret.hpp"

namespace luamods::crypto {

// HMAC in streaming form, for the one-shot MACs (hmac_parts) and the state
// objects alike.  init derives both padded key blocks and absorbs them, one
// into each context, so that the key itself is kept nowhere; final finishes
// the inner hash, feeds its digest to the outer one and writes the MAC.  The
// contexts still hold key-derived state after final: their holder wipes them.
template <class Hash>
struct Hmac {
    struct Ctx {
        typename Hash::Ctx inner;  // has absorbed key block ^ 0x36, then the message
        typename Hash::Ctx outer;  // has absorbed key block ^ 0x5c
    };
    static constexpr std::size_t kBlock = Hash::kBlock;
    static constexpr std::size_t kSize = Hash::kSize;

    // A key longer than the block is replaced by its digest; a shorter one is
    // padded with zeros.
    static void init(Ctx& c, const void* key, std::size_t key_len) noexcept
    {
        SecretBytes<kBlock> key_block;  // zero-filled
        if (key_len > kBlock) {
            Hash::init(c.inner);
            Hash::update(c.inner, key, key_len);
            Hash::final(c.inner, key_block.data());
        } else if (key_len > 0) {
            std::memcpy(key_block.data(), key, key_len);
        }
        SecretBytes<kBlock> pad;
        for (std::size_t i = 0; i < kBlock; ++i)
            pad[i] = key_block[i] ^ 0x36;
        Hash::init(c.inner);
        Hash::update(c.inner, pad.data(), kBlock);
        for (std::size_t i = 0; i < kBlock; ++i)
            pad[i] = key_block[i] ^ 0x5c;
        Hash::init(c.outer);
        Hash::update(c.outer, pad.data(), kBlock);
    }
    static void update(Ctx& c, const void* p, std::size_t n) noexcept
    {
        Hash::update(c.inner, p, n);
    }
    static void final(Ctx& c, unsigned char* out) noexcept
    {
        SecretBytes<kSize> inner;
        Hash::final(c.inner, inner.data());
        Hash::update(c.outer, inner.data(), kSize);
        Hash::final(c.outer, out);
    }
};

// HMAC of piece1 || piece2 || [extra], where the single extra byte is present
// only when has_extra is set (HKDF's block counter).
template <class Hash>
void hmac_parts(unsigned char* out, const void* key, std::size_t key_len, const void* piece1,
                std::size_t len1, const void* piece2, std::size_t len2, bool has_extra,
                unsigned char extra) noexcept
{
    Secret<typename Hmac<Hash>::Ctx> ctx;
    Hmac<Hash>::init(*ctx, key, key_len);
    if (len1 > 0)
        Hmac<Hash>::update(*ctx, piece1, len1);
    if (len2 > 0)
        Hmac<Hash>::update(*ctx, piece2, len2);
    if (has_extra)
        Hmac<Hash>::update(*ctx, &extra, 1);
    Hmac<Hash>::final(*ctx, out);
}

// RFC 5869 extract and expand.  An empty salt stands for kSize zero bytes.
// -1 (nothing written) when out_len exceeds 255 digests.
template <class Hash>
int hkdf_derive(unsigned char* out, std::size_t out_len, const void* ikm, std::size_t ikm_len,
                const void* salt, std::size_t salt_len, const void* info,
                std::size_t info_len) noexcept
{
    if (out_len > 255 * Hash::kSize)
        return -1;
    static const unsigned char kZeroSalt[Hash::kSize] = {};
    if (salt == nullptr || salt_len == 0) {
        salt = kZeroSalt;
        salt_len = sizeof kZeroSalt;
    }
    SecretBytes<Hash::kSize> prk;
    hmac_parts<Hash>(prk.data(), salt, salt_len, ikm, ikm_len, nullptr, 0, false, 0);

    SecretBytes<Hash::kSize> t;
    std::size_t done = 0;
    for (unsigned counter = 1; done < out_len; ++counter) {
        const auto byte = static_cast<unsigned char>(counter);
        if (counter == 1)
            hmac_parts<Hash>(t.data(), prk.data(), Hash::kSize, info, info_len, nullptr, 0, true,
                             byte);
        else
            hmac_parts<Hash>(t.data(), prk.data(), Hash::kSize, t.data(), Hash::kSize, info,
                             info_len, true, byte);
        const std::size_t take = out_len - done < Hash::kSize ? out_len - done : Hash::kSize;
        std::memcpy(out + done, t.data(), take);
        done += take;
    }
    return 0;
}

}  // namespace luamods::crypto
