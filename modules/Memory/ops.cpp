// The byte and typed operations (ops.hpp), and the one place where a failed
// access becomes its message.

#include "Memory/ops.hpp"

#include <cstring>

#include "Memory/atomic_i32.hpp"
#include "Memory/messages.hpp"
#include "Memory/read_buffer.hpp"
#include "Memory/registry.hpp"

namespace luamods::memory {

namespace {

unsigned long long ull(std::uint64_t v) noexcept { return static_cast<unsigned long long>(v); }

}  // namespace

void format_status(Message& err, Status status, const void* p, const Outcome& out) noexcept
{
    switch (status) {
    case Status::ok:
    case Status::busy: break;
    case Status::unknown: err.set(msg::kUnknown, p); break;
    case Status::released: err.set(msg::kReleased, p); break;
    case Status::out_of_bounds:
        err.set(msg::kOutOfBounds, ull(out.offset), ull(out.length), ull(out.size));
        break;
    case Status::no_memory: err.set(msg::kOutOfMemory); break;
    case Status::cannot_read: err.set(msg::kCannotRead, ull(out.length)); break;
    case Status::invalid: err.set(msg::kInvalidArgument); break;
    }
}

unsigned char* ReadTarget::reserve(std::uint64_t n) const noexcept
{
    if (fixed)
        return fixed;
    if (!buffer || !buffer->reserve(n))
        return nullptr;
    return reinterpret_cast<unsigned char*>(buffer->data());
}

// ---------------------------------------------------------------------------

namespace {

// Runs op(bytes at offset) on [offset, offset + width) while the block is held.
template <class Op>
inline Status with_element(HazardContext* ctx, const void* p, std::uint64_t offset,
                           std::uint64_t width, Outcome& out, Op&& op) noexcept
{
    BlockAccess access;
    const Status status = access.acquire(ctx, p, offset, width, out);
    if (status == Status::ok)
        op(access.bytes() + offset);
    return status;
}

// One piece of copy_bytes: `Piece` bytes at i when n has that bit, a memcpy
// of constant size, which the compiler turns into plain moves.
template <std::size_t Piece>
inline void copy_piece(unsigned char* dst, const unsigned char* src, std::size_t n,
                       std::size_t& i) noexcept
{
    if (n & Piece) {
        std::memcpy(dst + i, src + i, Piece);
        i += Piece;
    }
}

// Copies of less than 64 bytes in fixed-size pieces, which the compiler
// inlines: the C runtime's memcpy is a call, and the one Wine provides costs
// several nanoseconds even for 16 bytes.  (No loop: a loop of pieces would be
// turned back into that call.)
inline void copy_bytes(unsigned char* dst, const unsigned char* src, std::size_t n) noexcept
{
    if (n >= 64) {
        std::memcpy(dst, src, n);
        return;
    }
    std::size_t i = 0;
    copy_piece<32>(dst, src, n, i);
    copy_piece<16>(dst, src, n, i);
    copy_piece<8>(dst, src, n, i);
    copy_piece<4>(dst, src, n, i);
    copy_piece<2>(dst, src, n, i);
    if (n & 1)
        dst[i] = src[i];
}

std::int32_t sign_extended(std::uint32_t v) noexcept { return static_cast<std::int32_t>(v); }

}  // namespace

Status op_size(HazardContext* ctx, const void* p, Outcome& out) noexcept
{
    BlockAccess access;
    const Status status = access.acquire(ctx, p, 0, kNoRangeCheck, out);
    if (status == Status::ok)
        out.size = access.size();
    return status;
}

Status op_write(HazardContext* ctx, const void* p, std::uint64_t offset, const void* data,
                std::uint64_t length, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, length, out, [&](unsigned char* e) {
        copy_bytes(e, static_cast<const unsigned char*>(data), static_cast<std::size_t>(length));
    });
}

Status op_read(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
               const ReadTarget& to, Outcome& out) noexcept
{
    BlockAccess access;
    const Status status = access.acquire(ctx, p, offset, length, out);
    if (status != Status::ok)
        return status;
    if (length == 0)
        return Status::ok;
    unsigned char* dst = to.reserve(length);
    if (!dst) {
        out.length = length;
        return Status::cannot_read;
    }
    copy_bytes(dst, access.bytes() + offset, static_cast<std::size_t>(length));
    return Status::ok;
}

Status op_fill(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
               unsigned char value, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, length, out, [&](unsigned char* e) {
        if (length > 0)
            std::memset(e, value, static_cast<std::size_t>(length));
    });
}

// Plain loads and stores: memcpy, as the offset need not be aligned.

Status op_get_i32(HazardContext* ctx, const void* p, std::uint64_t offset, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 4, out, [&](unsigned char* e) {
        std::uint32_t v;
        std::memcpy(&v, e, 4);
        out.i32 = sign_extended(v);
    });
}

Status op_set_i32(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint32_t value,
                  Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 4, out,
                        [&](unsigned char* e) { std::memcpy(e, &value, 4); });
}

Status op_get_f64(HazardContext* ctx, const void* p, std::uint64_t offset, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 8, out,
                        [&](unsigned char* e) { std::memcpy(&out.f64, e, 8); });
}

Status op_set_f64(HazardContext* ctx, const void* p, std::uint64_t offset, double value,
                  Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 8, out,
                        [&](unsigned char* e) { std::memcpy(e, &value, 8); });
}

// Atomics: the offset is a multiple of 4 and blocks come from the heap, so the
// element is aligned for a 32-bit atomic.

Status op_atomic_i32(HazardContext* ctx, const void* p, std::uint64_t offset, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 4, out,
                        [&](unsigned char* e) { out.i32 = sign_extended(atomic_u32(e).load()); });
}

Status op_atomic_set_i32(HazardContext* ctx, const void* p, std::uint64_t offset,
                         std::uint32_t value, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 4, out,
                        [&](unsigned char* e) { atomic_u32(e).exchange(value); });
}

Status op_atomic_add_i32(HazardContext* ctx, const void* p, std::uint64_t offset,
                         std::uint32_t delta, Outcome& out) noexcept
{
    // Unsigned arithmetic wraps at 2^32; the result is read back signed.
    return with_element(ctx, p, offset, 4, out, [&](unsigned char* e) {
        out.i32 = sign_extended(atomic_u32(e).fetch_add(delta) + delta);
    });
}

Status op_cas_i32(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint32_t expected,
                  std::uint32_t desired, Outcome& out) noexcept
{
    return with_element(ctx, p, offset, 4, out, [&](unsigned char* e) {
        out.i32 = atomic_u32(e).compare_exchange_strong(expected, desired) ? 1 : 0;
    });
}

}  // namespace luamods::memory
