// getrandom(2) from the kernel's pool.  A call may return fewer bytes than
// asked (at most 32 MiB - 1 per call) or be interrupted by a signal.
#include "Crypto/random.hpp"

#include <sys/random.h>

#include <cerrno>

namespace luamods::crypto {

bool system_random(void* buffer, std::size_t n) noexcept
{
    auto* p = static_cast<unsigned char*>(buffer);
    while (n > 0) {
        ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace luamods::crypto
