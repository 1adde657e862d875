// The 32-bit word at an aligned place in a block, seen through an atomic
// reference.  The atomic functions and the sequence counter use this one view,
// so they are atomic with respect to each other on the same 4 bytes.
#pragma once

#include <atomic>
#include <cstdint>

namespace luamods::memory {

static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free,
              "32-bit atomics must be lock-free to be shared between threads");

// `e` must be 4-byte aligned (a multiple-of-4 offset into a heap block).  The
// heap memory behind a block implicitly holds the uint32_t object.
inline std::atomic_ref<std::uint32_t> atomic_u32(unsigned char* e) noexcept
{
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(e));
}

}  // namespace luamods::memory
