// BCryptGenRandom with the system-preferred generator, in chunks that fit
// its 32-bit length.
#include "Crypto/random.hpp"

#include <windows.h>
#include <bcrypt.h>

namespace luamods::crypto {

bool system_random(void* buffer, std::size_t n) noexcept
{
    constexpr std::size_t kChunk = 0x40000000;  // 1 GiB
    auto* p = static_cast<unsigned char*>(buffer);
    while (n > 0) {
        std::size_t len = n < kChunk ? n : kChunk;
        NTSTATUS status =
            BCryptGenRandom(nullptr, p, static_cast<ULONG>(len), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status != 0)
            return false;
        p += len;
        n -= len;
    }
    return true;
}

}  // namespace luamods::crypto
