// The operations on a block's bytes, once each, for both ways in: the Lua
// functions of memory (blocks.cpp, typed.cpp, seqlock.cpp) and the C entry
// points that memory.fast calls through LuaJIT's FFI (fast_abi.cpp).
//
// Each one holds the block through a BlockAccess for exactly its own work,
// never calls Lua and never throws, and returns a Status; a failure leaves
// the figures its message names in the Outcome (format_status turns them
// into the text).  Arguments arrive checked: offsets and lengths below 2^63,
// so no span's end can overflow, and atomic offsets multiples of 4.
#pragma once

#include <cstdint>

#include "Memory/hazard.hpp"
#include "Memory/status.hpp"

namespace luamods::memory {

class ReadBuffer;

// Where a read copies its bytes: `fixed` (with room for the whole length,
// which the caller has made sure of), or else `buffer`, reserved only once
// the range has been checked, so that a bad range is reported as such and
// not as a failed allocation.  Neither: cannot_read (once the range is good).
struct ReadTarget {
    unsigned char* fixed = nullptr;
    ReadBuffer* buffer = nullptr;

    unsigned char* reserve(std::uint64_t n) const noexcept;  // null: no memory
};

Status op_size(HazardContext* ctx, const void* p, Outcome& out) noexcept;
Status op_write(HazardContext* ctx, const void* p, std::uint64_t offset, const void* data,
                std::uint64_t length, Outcome& out) noexcept;
Status op_read(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
               const ReadTarget& to, Outcome& out) noexcept;
Status op_fill(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
               unsigned char value, Outcome& out) noexcept;

// Typed: any offset, native byte order; i32 values are stored as their low
// 32 bits and read back sign-extended (into out.i32).
Status op_get_i32(HazardContext* ctx, const void* p, std::uint64_t offset, Outcome& out) noexcept;
Status op_set_i32(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint32_t value,
                  Outcome& out) noexcept;
Status op_get_f64(HazardContext* ctx, const void* p, std::uint64_t offset, Outcome& out) noexcept;
Status op_set_f64(HazardContext* ctx, const void* p, std::uint64_t offset, double value,
                  Outcome& out) noexcept;

// Sequentially consistent atomics at multiples of 4.  add leaves the new
// value in out.i32, cas 1 when it swapped (0 otherwise).
Status op_atomic_i32(HazardContext* ctx, const void* p, std::uint64_t offset,
                     Outcome& out) noexcept;
Status op_atomic_set_i32(HazardContext* ctx, const void* p, std::uint64_t offset,
                         std::uint32_t value, Outcome& out) noexcept;
Status op_atomic_add_i32(HazardContext* ctx, const void* p, std::uint64_t offset,
                         std::uint32_t delta, Outcome& out) noexcept;
Status op_cas_i32(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint32_t expected,
                  std::uint32_t desired, Outcome& out) noexcept;

// Sequence-locked regions (seqlock.cpp): `payload` starts at least 4 bytes
// after `counter`, and `length` <= `region`.  busy when a writer holds the
// region (write) or no copy stayed stable in `attempts` tries (read).
Status op_seq_write(HazardContext* ctx, const void* p, std::uint64_t counter, std::uint64_t payload,
                    const void* data, std::uint64_t length, std::uint64_t region,
                    Outcome& out) noexcept;
Status op_seq_read(HazardContext* ctx, const void* p, std::uint64_t counter, std::uint64_t payload,
                   std::uint64_t length, std::uint64_t attempts, const ReadTarget& to,
                   Outcome& out) noexcept;

}  // namespace luamods::memory
