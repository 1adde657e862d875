// The process-wide registry of heap blocks handed to Lua scripts.  A bare
// address is meaningful in every Lua state because every operation looks it
// up here first.
//
// Readers (every access to a block's bytes, size, refcount) take no lock and
// write no shared cache line; writers (alloc, free, realloc, retain, release,
// the clean-up) serialise on one mutex.
//
// The record state machine, owned by this file and registry.cpp:
//
//   free --(listed, writer)--> live --(free / last release / clean-up)--> retired
//                               |  ^                                        |
//          (realloc, writer)    v  |                (no hazard slot names   |
//                              moving                it, writer) --> free <-+
//
// Invariants:
//  1. Records are never returned to the allocator: they sit in chunks and go
//     back to a free list, so a reader holding a stale pointer to one can
//     always read it.
//  2. A record is listed in the table under its address exactly while it is
//     live or moving.  Phase, address and size change only under the mutex;
//     a record's fields are written before its phase becomes live (release).
//  3. An access publishes the record in a hazard slot (hazard.hpp), then
//     reads the phase.  It uses the block only when the record is live and
//     still carries the address it was looked up by; it waits out a moving
//     record; otherwise the address is unknown (retired) or was reused
//     (free, or another address): it looks again.
//  4. A writer changes the phase first and reads the hazard slots after
//     Hazards::barrier().  So a retired record that no slot names is unused
//     for good: its memory is returned and the record freed, by the writer.
//     Retired records wait on a list for that.  Where the barrier is costly
//     (it interrupts every thread) a free returns memory in small batches,
//     one barrier for many; count_allocations and the clean-up empty the
//     list of every record no access holds, so what they report is exact,
//     and retired blocks of 64 KiB or more are returned as soon as their
//     last access ends.  Where the barrier is a fence, every free returns
//     its memory at once.
//  5. realloc moves only a record that no slot names (moving, then barrier,
//     then the check): it is refused while an access is open.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Memory/address_table.hpp"
#include "Memory/args.hpp"
#include "Memory/hazard.hpp"
#include "Memory/lock.hpp"
#include "Memory/record_lookup.hpp"
#include "Memory/status.hpp"
#include "common/message.hpp"

namespace luamods::memory {

struct alignas(64) BlockRecord {
    enum Phase : std::uint32_t { kFree, kLive, kMoving, kRetired };
    static constexpr std::uint32_t kChanging = kMoving;

    std::atomic<std::uint32_t> phase{kFree};
    std::atomic<std::int32_t> ref_count{1};  // holders of a shared block; 1 for a plain one
    std::atomic<std::uint64_t> address{0};
    std::atomic<std::uint64_t> size{0};    // bytes asked for; 0 for a zero-size block (1 byte held)
    std::atomic<bool> shared{false};       // made by `shared`: zero-filled, reference counted
    std::atomic<bool> queue_owned{false};  // carries a pushed string: its queue frees it
    BlockRecord* next = nullptr;           // free or retired list; under the mutex

    void* block() const noexcept
    {
        return reinterpret_cast<void*>(
            static_cast<std::uintptr_t>(address.load(std::memory_order_relaxed)));
    }
};

class BlockRegistry {
public:
    constexpr BlockRegistry() noexcept = default;
    ~BlockRegistry();
    BlockRegistry(const BlockRegistry&) = delete;
    BlockRegistry& operator=(const BlockRegistry&) = delete;

    // Lists a new block of `size` bytes at `p` (complete already: from now
    // on any state may name it).  False when the table could not grow.
    bool add(void* p, std::uint64_t size, bool shared, bool queue_owned) noexcept;

    // What free, release and the queue's clean-up see of an address.
    using Retire = Change;

    // Logically frees a listed plain block: unknown to every later access.
    Retire free_plain(const void* p) noexcept;
    // Reference counts of a shared block.  `count` gets the new count.
    Retire retain(const void* p, std::int32_t& count) noexcept;
    Retire release(const void* p, std::int32_t& count) noexcept;

    enum class Move { done, unknown, shared, busy, no_memory, no_table };
    Move realloc(void* p, std::uint64_t size, void*& moved) noexcept;

    // For the queue module: `n` items taken out of a queue and handed to the
    // script.  A pushed string among them becomes an ordinary plain block.
    void disown(HazardContext* ctx, void* const* items, std::size_t n) noexcept;

    std::uint64_t count_allocations() noexcept;
    void cleanup() noexcept;

    // Records with queue_owned set.  A thread that took an item out of a
    // queue reads it without the mutex: the push that listed the item's block
    // happened before, so 0 means the item is no pushed string.
    std::uint64_t queue_blocks() const noexcept
    {
        return queue_blocks_.load(std::memory_order_relaxed);
    }

    // Readers: the live record listed under `p`, published in `hold`.
    using Find = memory::Find;
    Find find_live(HazardContext* ctx, const void* p, HazardHold& hold,
                   BlockRecord*& record) noexcept;

    // The end of an access to a record that may have been retired meanwhile:
    // returns a large block's memory now rather than with the next batch.
    void after_access(BlockRecord* record) noexcept
    {
        if (HazardHold::phase_after(record->phase) == BlockRecord::kRetired)
            after_retired_access();
    }

private:
    class Locked;
    BlockRecord* take_record() noexcept;
    void retire(Locked& locked, BlockRecord* record) noexcept;
    void reclaim_unused() noexcept;
    void after_retired_access() noexcept;

    mutable RegistryMutex mutex_;
    AddressTable<BlockRecord> table_;
    BlockRecord* free_records_ = nullptr;
    struct RecordChunk* chunks_ = nullptr;
    BlockRecord* retired_ = nullptr;
    std::size_t retired_count_ = 0;
    std::atomic<std::uint64_t> retired_bytes_{0};
    std::atomic<std::uint64_t> queue_blocks_{0};
};

// The one registry of this library, shared with memory.queue.  Constant-
// initialised: it exists before any code of the library runs.
extern constinit BlockRegistry g_block_registry;
inline BlockRegistry& block_registry() noexcept { return g_block_registry; }

// Allocates and lists a block: calloc'd and marked shared when `zeroed`,
// malloc'd and plain otherwise.  A zero-size request holds 1 byte.  On failure
// sets "memory: allocation of N bytes failed" and lists nothing.
void* register_block(std::uint64_t size, bool zeroed, Message& err) noexcept;

// A plain block holding a copy of a string pushed into a queue, listed only
// once the copy is made.  The queue owns it: `pop` or the queue's destruction
// frees it, and the host clean-up of blocks leaves it to the queue's own
// clean-up (a shared queue keeps its strings across clean-ups).
void* register_queue_string(const char* data, std::size_t len, Message& err) noexcept;

// For the queue module: logically frees a listed plain block; false (and no
// change) for an unlisted address or a shared block.
bool free_plain_block(const void* p) noexcept;

// For the queue module: see BlockRegistry::disown.
void disown_queue_blocks(HazardContext* ctx, void* const* items, std::size_t n) noexcept;

// Sum of `size` over the blocks that still hold memory.
std::uint64_t count_allocations() noexcept;

// The host's clean-up callback: frees every plain block of the process (the
// ones in use when their access ends) and leaves shared blocks alone.
int memory_cleanup();

// A scoped use of one block's bytes.  While held, the block is neither freed
// nor resized nor moved.
class BlockAccess {
public:
    BlockAccess() = default;
    ~BlockAccess() { release(); }
    BlockAccess(const BlockAccess&) = delete;
    BlockAccess& operator=(const BlockAccess&) = delete;

    // Checks that `p` is live and that [offset, offset + length) lies inside
    // it (no check when length is kNoRangeCheck).  After out_of_bounds,
    // size() is the size the check saw.
    Status acquire(HazardContext* ctx, const void* p, std::uint64_t offset,
                   std::uint64_t length) noexcept;
    // The same, noting in `out` the figures a failure's message names.
    Status acquire(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
                   Outcome& out) noexcept;
    // The same, with the failure's message in `err`.
    bool acquire(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
                 Message& err) noexcept;
    void release() noexcept;

    unsigned char* bytes() const noexcept { return static_cast<unsigned char*>(address_); }
    std::uint64_t size() const noexcept { return size_; }
    const BlockRecord& record() const noexcept { return *record_; }

private:
    // Lets go of the record and says why the access failed.
    Status fail(BlockRegistry::Find found, BlockRecord* rec) noexcept;

    HazardHold hold_;
    void* address_ = nullptr;
    BlockRecord* record_ = nullptr;
    std::uint64_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The access path, inline: it runs on every call of both modules.

inline BlockRegistry::Find BlockRegistry::find_live(HazardContext* ctx, const void* p,
                                                    HazardHold& hold, BlockRecord*& record) noexcept
{
    return find_published(table_, ctx,
                          static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)), hold,
                          record, [this](BlockRecord* r) { after_access(r); });
}

inline Status BlockAccess::acquire(HazardContext* ctx, const void* p, std::uint64_t offset,
                                   std::uint64_t length) noexcept
{
    release();
    BlockRecord* rec = nullptr;
    BlockRegistry::Find found = block_registry().find_live(ctx, p, hold_, rec);
    if (found == BlockRegistry::Find::live) {
        const std::uint64_t size = rec->size.load(std::memory_order_relaxed);
        if (length == kNoRangeCheck || (offset <= size && size - offset >= length)) {
            if (!rec->shared.load(std::memory_order_relaxed) ||
                rec->ref_count.load(std::memory_order_relaxed) >= 1) {
                address_ = const_cast<void*>(p);
                record_ = rec;
                size_ = size;
                return Status::ok;
            }
        }
    }
    return fail(found, rec);
}

inline Status BlockAccess::acquire(HazardContext* ctx, const void* p, std::uint64_t offset,
                                   std::uint64_t length, Outcome& out) noexcept
{
    const Status status = acquire(ctx, p, offset, length);
    if (status != Status::ok) {
        out.offset = offset;
        out.length = length;
        out.size = size_;
    }
    return status;
}

inline bool BlockAccess::acquire(HazardContext* ctx, const void* p, std::uint64_t offset,
                                 std::uint64_t length, Message& err) noexcept
{
    Outcome out;
    const Status status = acquire(ctx, p, offset, length, out);
    if (status == Status::ok)
        return true;
    format_status(err, status, p, out);
    return false;
}

inline void BlockAccess::release() noexcept
{
    hold_.clear();
    if (BlockRecord* rec = record_) {
        address_ = nullptr;
        record_ = nullptr;
        block_registry().after_access(rec);
    }
}

}  // namespace luamods::memory
