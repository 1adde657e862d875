#include "Crypto/vector_state.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace luamods::crypto {

bool vzeroupper_allowed_now() noexcept
{
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool osxsave = (c & (1u << 27)) != 0;
    const bool avx = (c & (1u << 28)) != 0;
    if (!osxsave || !avx)
        return false;
    // XCR0 bits 1 and 2: the system saves the SSE and the AVX state.
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 6u) == 6u;
#else
    return false;
#endif
}

}  // namespace luamods::crypto
