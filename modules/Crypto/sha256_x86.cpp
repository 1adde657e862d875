// The SHA-256 compression on the x86 SHA extensions (SHA-NI), and the CPUID
// test that decides whether this process may use it.  The functions carry
// their own target attributes, so the rest of the module is compiled for the
// baseline x86-64 and runs on every CPU; the portable compression stays the
// answer wherever CPUID does not report SHA, SSSE3 and SSE4.1.
#include "Crypto/sha256.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define LUAMODS_SHA256_X86 1
#endif

namespace luamods::crypto {

#if LUAMODS_SHA256_X86

namespace {

// sha256rnds2 works on the state as two registers, ABEF and CDGH (high word
// first), instead of the A..H order of state[]; the message words are
// byte-swapped to big-endian on loading.  Each group of four rounds takes
// four schedule words; from group 4 on they are computed from the previous
// sixteen with sha256msg1/msg2, four at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void
blocks_sha_ni(std::uint32_t* state, const unsigned char* data, std::size_t blocks) noexcept
{
    const __m128i byteswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    const auto* k = reinterpret_cast<const __m128i*>(kSha256K);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

    for (; blocks > 0; --blocks, data += kSha256Block) {
        const __m128i abef_in = abef;
        const __m128i cdgh_in = cdgh;
        __m128i w[4];
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteswap);
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g >= 4) {
                // W[4g..4g+3] from W[4g-16..4g-1]; w[g % 4] held W[4g-16..4g-13].
                __m128i x = _mm_sha256msg1_epu32(w[g % 4], w[(g + 1) % 4]);
                x = _mm_add_epi32(x, _mm_alignr_epi8(w[(g + 3) % 4], w[(g + 2) % 4], 4));
                w[g % 4] = _mm_sha256msg2_epu32(x, w[(g + 3) % 4]);
            }
            __m128i msg = _mm_add_epi32(w[g % 4], _mm_loadu_si128(k + g));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
            msg = _mm_shuffle_epi32(msg, 0x0e);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
        }
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    dcba = _mm_blend_epi16(feba, dchg, 0xf0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool cpu_has_sha_ni() noexcept
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

}  // namespace

Sha256Blocks sha256_blocks_fastest() noexcept
{
    return cpu_has_sha_ni() ? blocks_sha_ni : sha256_blocks_portable;
}

#else

Sha256Blocks sha256_blocks_fastest() noexcept { return sha256_blocks_portable; }

#endif

}  // namespace luamods::crypto
