// Sequence-locked regions: a 32-bit counter and a payload region inside a
// block.  A writer claims the region by moving the counter from even to odd,
// writes, and publishes by moving it to the next even value; a reader copies
// the region and trusts the copy only when the counter was even and unchanged
// around it.  Neither side waits: contention is returned as nil, "busy".
//
// The payload bytes are copied with relaxed atomic accesses.  A reader's
// copy may race with a writer; as atomics the racing accesses are well-defined
// (and invisible to ThreadSanitizer), and the counter comparison decides
// whether the copy is kept.

#include <atomic>
#include <cstdint>
#include <cstring>

#include "Memory/args.hpp"
#include "Memory/atomic_i32.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/messages.hpp"
#include "Memory/ops.hpp"
#include "Memory/read_buffer.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

namespace {

using Byte = std::atomic_ref<unsigned char>;

// The two standalone fences of the protocol.  ThreadSanitizer does not model
// fences (gcc warns that it ignores them); that loses nothing here, because
// every access they order is itself atomic, so there is no plain access whose
// race it could miss or invent.  The fences are emitted in every build.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
inline void release_fence() noexcept { __atomic_thread_fence(__ATOMIC_RELEASE); }
inline void acquire_fence() noexcept { __atomic_thread_fence(__ATOMIC_ACQUIRE); }
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic pop
#endif

using Word = std::atomic_ref<std::uint64_t>;

// The copies run in relaxed 8-byte words where the block's bytes are 8-byte
// aligned, and in single bytes before and after: the same guarantees as a
// byte-by-byte copy, at a fraction of its cost.
std::size_t head_bytes(const unsigned char* p, std::size_t n) noexcept
{
    std::size_t head = (8 - reinterpret_cast<std::uintptr_t>(p) % 8) % 8;
    return head < n ? head : n;
}

void store_bytes(unsigned char* dst, const unsigned char* src, std::size_t n) noexcept
{
    std::size_t i = 0;
    for (std::size_t head = head_bytes(dst, n); i < head; ++i)
        Byte(dst[i]).store(src[i], std::memory_order_relaxed);
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, src + i, 8);
        Word(*reinterpret_cast<std::uint64_t*>(dst + i)).store(w, std::memory_order_relaxed);
    }
    for (; i < n; ++i)
        Byte(dst[i]).store(src[i], std::memory_order_relaxed);
}

void store_zeros(unsigned char* dst, std::size_t n) noexcept
{
    std::size_t i = 0;
    for (std::size_t head = head_bytes(dst, n); i < head; ++i)
        Byte(dst[i]).store(0, std::memory_order_relaxed);
    for (; i + 8 <= n; i += 8)
        Word(*reinterpret_cast<std::uint64_t*>(dst + i)).store(0, std::memory_order_relaxed);
    for (; i < n; ++i)
        Byte(dst[i]).store(0, std::memory_order_relaxed);
}

void load_bytes(unsigned char* dst, unsigned char* src, std::size_t n) noexcept
{
    std::size_t i = 0;
    for (std::size_t head = head_bytes(src, n); i < head; ++i)
        dst[i] = Byte(src[i]).load(std::memory_order_relaxed);
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w =
            Word(*reinterpret_cast<std::uint64_t*>(src + i)).load(std::memory_order_relaxed);
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i)
        dst[i] = Byte(src[i]).load(std::memory_order_relaxed);
}

// One claim-write-publish cycle; false when another writer holds or takes the
// region first.  `region` bytes from `payload` get the data, then zeros.
bool write_region(unsigned char* counter, unsigned char* payload, const unsigned char* data,
                  std::size_t length, std::size_t region) noexcept
{
    auto seq = atomic_u32(counter);
    std::uint32_t c = seq.load(std::memory_order_relaxed);
    if (c & 1u)
        return false;
    if (!seq.compare_exchange_strong(c, c + 1, std::memory_order_seq_cst))
        return false;
    // Keeps the payload stores after the claim: a reader that sees one of them
    // is then bound to see the odd (or a later) counter on its second load.
    release_fence();
    store_bytes(payload, data, length);
    store_zeros(payload + length, region - length);
    seq.store(c + 2, std::memory_order_release);
    return true;
}

// Up to `attempts` tries at a copy that no write overlapped.
bool read_region(unsigned char* counter, unsigned char* payload, unsigned char* out, std::size_t n,
                 std::uint64_t attempts) noexcept
{
    auto seq = atomic_u32(counter);
    for (std::uint64_t t = 0; t < attempts; ++t) {
        std::uint32_t c1 = seq.load(std::memory_order_acquire);
        if (c1 & 1u)
            continue;
        load_bytes(out, payload, n);
        acquire_fence();
        if (seq.load(std::memory_order_relaxed) == c1)
            return true;
    }
    return false;
}

}  // namespace

Status op_seq_write(HazardContext* ctx, const void* p, std::uint64_t counter, std::uint64_t payload,
                    const void* data, std::uint64_t length, std::uint64_t region,
                    Outcome& out) noexcept
{
    // Both offsets are below 2^63, so the span's end cannot overflow.
    const std::uint64_t span = payload + region - counter;
    BlockAccess access;
    const Status status = access.acquire(ctx, p, counter, span, out);
    if (status != Status::ok)
        return status;
    unsigned char* b = access.bytes();
    return write_region(b + counter, b + payload, static_cast<const unsigned char*>(data),
                        static_cast<std::size_t>(length), static_cast<std::size_t>(region))
               ? Status::ok
               : Status::busy;
}

Status op_seq_read(HazardContext* ctx, const void* p, std::uint64_t counter, std::uint64_t payload,
                   std::uint64_t length, std::uint64_t attempts, const ReadTarget& to,
                   Outcome& out) noexcept
{
    const std::uint64_t span = payload + length - counter;
    BlockAccess access;
    const Status status = access.acquire(ctx, p, counter, span, out);
    if (status != Status::ok)
        return status;
    unsigned char* dst = length > 0 ? to.reserve(length) : nullptr;
    if (length > 0 && !dst) {
        out.length = length;
        return Status::cannot_read;
    }
    unsigned char* b = access.bytes();
    return read_region(b + counter, b + payload, dst, static_cast<std::size_t>(length), attempts)
               ? Status::ok
               : Status::busy;
}

namespace {

void check_payload_after_counter(lua_State* L, std::uint64_t counter, std::uint64_t payload)
{
    if (payload < counter + 4)
        luaL_argerror(L, 3, msg::kPayloadBeforeCounter);
}

int push_busy(lua_State* L)
{
    lua_pushnil(L);
    lua_pushliteral(L, "busy");
    return 2;
}

}  // namespace

int l_seq_write(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t counter = check_atomic_offset_arg(L, 2);
    std::uint64_t payload = check_offset_arg(L, 3);
    std::size_t length = 0;
    const char* data = luaL_checklstring(L, 4, &length);
    std::uint64_t region = length;
    if (is_present(L, 5))
        region = check_length_arg(L, 5);
    if (length > region)
        luaL_argerror(L, 4, msg::kPayloadTooLong);
    check_payload_after_counter(L, counter, payload);

    Outcome out;
    const Status status =
        op_seq_write(state_context(L), p, counter, payload, data, length, region, out);
    raise_on_failure(L, status, p, out);
    if (status == Status::busy)
        return push_busy(L);
    lua_pushboolean(L, 1);
    return 1;
}

int l_seq_read(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t counter = check_atomic_offset_arg(L, 2);
    std::uint64_t payload = check_offset_arg(L, 3);
    std::uint64_t n = check_length_arg(L, 4);
    std::int64_t attempts = opt_saturated_arg(L, 5, 8, kIntegerTexts, "attempts");
    if (attempts < 1)
        luaL_argerror(L, 5, msg::kAttempts);
    check_payload_after_counter(L, counter, payload);

    ReadBuffer buffer;
    ReadTarget to;
    to.buffer = &buffer;
    Outcome out;
    const Status status = op_seq_read(state_context(L), p, counter, payload, n,
                                      static_cast<std::uint64_t>(attempts), to, out);
    raise_on_failure(L, status, p, out);
    if (status == Status::busy) {
        buffer.discard();
        return push_busy(L);
    }
    if (!buffer.push_and_free(L))
        return lua_error(L);
    return 1;
}

}  // namespace luamods::memory
