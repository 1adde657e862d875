// What an access to a block's bytes comes to: a status and the figures its
// message names.  The Lua functions of memory raise the message that
// format_status writes; the C entry points (fast_abi.cpp) return the status
// and let their caller ask for the same message, so both paths say the same.
#pragma once

#include <cstdint>

#include "common/message.hpp"

namespace luamods::memory {

// The numbers are part of the C interface (fast_abi.cpp); memory.fast
// (lua/memory/fast.lua) relies on ok = 0 and busy = 5.
enum class Status : int {
    ok = 0,
    unknown = 1,        // "unknown or freed pointer (%p)"
    released = 2,       // a shared block whose last reference is gone
    out_of_bounds = 3,  // names offset, length and the block's size
    no_memory = 4,      // no hazard context could be had for the access
    busy = 5,           // seq_read/seq_write: not an error, the result "busy"
    cannot_read = 6,    // no buffer for `length` bytes
    invalid = 7,        // C interface only: arguments memory.fast never passes
};

// What an operation gives back besides its status.  Plain data shared with
// the C interface, so its layout is fixed there too.
struct Outcome {
    std::uint64_t size = 0;    // size(): the block's size; out_of_bounds: the size seen
    std::uint64_t offset = 0;  // a failure: the range the access asked for
    std::uint64_t length = 0;
    std::int32_t i32 = 0;  // i32 and atomic results; cas_i32: 1 when it swapped
    double f64 = 0;        // get_f64's result
};

// The message of a failed access (status other than ok and busy).
void format_status(Message& err, Status status, const void* p, const Outcome& out) noexcept;

}  // namespace luamods::memory
