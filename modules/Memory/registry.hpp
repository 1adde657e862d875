// The process-wide registry of heap blocks handed to Lua scripts.  A bare
// address is meaningful in every Lua state because every operation looks it
// up here first.
//
// Readers (every access to a block's bytes, size, refcount) take no lock and
// write no shared cache line.  The writers that states call all the time
// (alloc, free, push, pop) take no lock either: a record comes from the
// state's own cache, the table is changed with compare-and-swap
// (address_table.hpp), and a free wins the record with a compare-and-swap
// of its phase.  The rare writers (realloc, retain, release, the clean-up,
// count_allocations, a state without a context) serialise on one mutex.
//
// The record state machine, owned by this file and registry.cpp:
//
//   free --(listed)--> live --(free / last release / clean-up)--> retired
//                      |  ^                                         |
//   (realloc, mutex)   v  |                (no hazard slot names it)|
//                     moving                          free  <-------+
//
// A record's phase word holds the phase in its low two bits and a
// generation above them, counted up each time the record is listed anew: a
// compare-and-swap that expects a live phase of one generation cannot take
// the record once it was freed and listed for another block.
//
// Invariants:
//  1. Records are never returned to the allocator: they sit in chunks and go
//     back to a free list or a state's cache, so a reader holding a stale
//     pointer to one can always read it.
//  2. A record is listed in the table under its address from before its
//     phase is live (its fields written first) until after it left live.
//     Only the writer that moved it out of live (with a compare-and-swap)
//     unlists it and retires it.
//  3. An access publishes the record in a hazard slot (hazard.hpp), then
//     reads the phase.  It uses the block only when the record is live and
//     still carries the address it was looked up by; it waits out a moving
//     record; otherwise the address is unknown (retired) or was reused
//     (free, or another address): it looks again.
//  4. Whoever returns a retired record's memory does so after seeing the
//     record retired, then Hazards::barrier(), then no hazard slot naming
//     it.  So the block is unused for good.  Where the barrier is a fence,
//     the free itself does that at once.  Where the barrier is costly (it
//     interrupts every thread) a state keeps the records it retired in its
//     cache and returns them in batches, one barrier for many; records that
//     an access still holds then, and those retired under the mutex, wait
//     on the registry's list.  count_allocations and the clean-up return
//     every retired block that no access holds, in every cache, so what
//     they report is exact; retired blocks of 64 KiB or more are returned
//     as soon as their last access ends.
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

    std::atomic<std::uint32_t> phase{kFree};  // generation << 2 | Phase
    std::atomic<std::int32_t> ref_count{1};   // holders of a shared block; 1 for a plain one
    std::atomic<std::uint64_t> address{0};
    std::atomic<std::uint64_t> size{0};    // bytes asked for; 0 for a zero-size block (1 byte held)
    std::atomic<bool> shared{false};       // made by `shared`: zero-filled, reference counted
    std::atomic<bool> queue_owned{false};  // carries a pushed string: its queue frees it
    BlockRecord* next = nullptr;           // free, spare or retired list of its holder

    void* block() const noexcept
    {
        return reinterpret_cast<void*>(
            static_cast<std::uintptr_t>(address.load(std::memory_order_relaxed)));
    }
};

// A state's own writer cache, made on its first alloc or free: spare
// records, and the records it retired and has not returned yet.  Only the
// state's thread touches `spare`; the retired records are appended by it
// and returned by whoever holds `lock` (the state in a batch, or a holder of
// the registry's mutex, which may return some and leave them marked free).
struct alignas(64) BlockCache {
    static constexpr std::uint32_t kRetiredMax = 512;

    BlockRecord* spare = nullptr;
    std::uint32_t spare_count = 0;
    std::uint64_t retired_bytes = 0;  // an upper bound: returned ones are not taken off
    std::uint32_t unsaid_slots = 0;   // table slots taken, not yet counted (try_insert)
    BlockCache* next = nullptr;       // every cache made; set once, under the mutex

    alignas(64) std::atomic<bool> lock{false};
    std::uint32_t seen = 0;  // for the holder of `lock`
    std::atomic<std::uint32_t> retired_count{0};
    std::atomic<BlockRecord*> retired[kRetiredMax] = {};
};

class BlockRegistry {
public:
    constexpr BlockRegistry() noexcept = default;
    ~BlockRegistry();
    BlockRegistry(const BlockRegistry&) = delete;
    BlockRegistry& operator=(const BlockRegistry&) = delete;

    // Lists a new block of `size` bytes at `p` (complete already: from now
    // on any state may name it).  False when no record or table space could
    // be had.  `ctx` is the calling state's context, or null.
    bool add(HazardContext* ctx, void* p, std::uint64_t size, bool shared,
             bool queue_owned) noexcept;

    // Logically frees a listed plain block: unknown to every later access.
    Change free_plain(HazardContext* ctx, const void* p) noexcept;
    // The same for the plain block `access` holds (and lets go of): the
    // very block it read, even if its address was freed and reused since.
    bool free_accessed(HazardContext* ctx, class BlockAccess& access) noexcept;
    // Reference counts of a shared block.  `count` gets the new count.
    Change retain(const void* p, std::int32_t& count) noexcept;
    Change release(const void* p, std::int32_t& count) noexcept;

    enum class Move { done, unknown, shared, busy, no_memory, no_table };
    Move realloc(void* p, std::uint64_t size, void*& moved) noexcept;

    // For the queue module: `n` items taken out of a queue and handed to the
    // script.  A pushed string among them becomes an ordinary plain block.
    // Called only for queues that ever held a pushed string.
    void disown(HazardContext* ctx, void* const* items, std::size_t n) noexcept;

    // Sum of `size` over the blocks that still hold memory.
    std::uint64_t count_allocations() noexcept;
    // A state lets go of its context: the blocks it freed go back now rather
    // than whenever another state takes the context over.
    void flush(HazardContext* ctx) noexcept;
    void cleanup() noexcept;

    // Readers: the live record listed under `p`, published in `hold`.
    Find find_live(HazardContext* ctx, const void* p, HazardHold& hold,
                   BlockRecord*& record) noexcept;

    // The end of an access to a record that may have been retired meanwhile:
    // returns a large block's memory now rather than with the next batch.
    void after_access(BlockRecord* record) noexcept
    {
        if ((HazardHold::phase_after(record->phase) & kPhaseMask) == BlockRecord::kRetired)
            after_retired_access(record);
    }

private:
    class Locked;
    BlockCache* cache_of(HazardContext* ctx) noexcept;
    BlockRecord* take_record(BlockCache* cache) noexcept;
    void give_records(BlockRecord* list) noexcept;
    bool list(BlockRecord* r, std::uint64_t key, BlockCache* cache) noexcept;
    using Spot = AddressTable<BlockRecord>::Spot;
    Change claim(const void* p, BlockRecord*& record, Spot& spot) noexcept;
    void unlist(BlockRecord* r, const Spot& spot) noexcept;
    void retire(HazardContext* ctx, BlockRecord* r) noexcept;
    void return_batch(BlockCache& cache) noexcept;
    BlockRecord* listed(const void* p, std::uint32_t& word) noexcept;
    void hold_retired(BlockRecord* r) noexcept;
    void list_retired(BlockRecord* r) noexcept;
    std::uint64_t reclaim_unused() noexcept;
    void after_retired_access(BlockRecord* record) noexcept;

    mutable RegistryMutex mutex_;
    AddressTable<BlockRecord> table_;
    RecordPool<BlockRecord> records_;
    std::atomic<BlockCache*> caches_{nullptr};
    BlockRecord* retired_ = nullptr;  // under the mutex
    std::size_t retired_count_ = 0;
    std::atomic<std::uint64_t> retired_bytes_{0};
};

// The one registry of this library, shared with memory.queue.  Constant-
// initialised: it exists before any code of the library runs.
extern constinit BlockRegistry g_block_registry;
inline BlockRegistry& block_registry() noexcept { return g_block_registry; }

// Allocates and lists a block: calloc'd and marked shared when `zeroed`,
// malloc'd and plain otherwise.  A zero-size request holds 1 byte.  On failure
// sets "memory: allocation of N bytes failed" and lists nothing.
void* register_block(std::uint64_t size, bool zeroed, Message& err,
                     HazardContext* ctx = nullptr) noexcept;

// A plain block holding a copy of a string pushed into a queue, listed only
// once the copy is made.  The queue owns it: `pop` or the queue's destruction
// frees it, and the host clean-up of blocks leaves it to the queue's own
// clean-up (a shared queue keeps its strings across clean-ups).
void* register_queue_string(HazardContext* ctx, const char* data, std::size_t len,
                            Message& err) noexcept;

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
    // it (no check when length is kNoRangeCheck), noting in `out` the
    // figures a failure's message names.
    Status acquire(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
                   Outcome& out) noexcept;
    // The same, with the failure's message in `err`.
    bool acquire(HazardContext* ctx, const void* p, std::uint64_t offset, std::uint64_t length,
                 Message& err) noexcept;
    void release() noexcept;

    // Lets go of the slot without the end-of-access check (the caller
    // retires the record itself).
    void drop() noexcept
    {
        hold_.clear();
        address_ = nullptr;
        record_ = nullptr;
    }

    unsigned char* bytes() const noexcept { return static_cast<unsigned char*>(address_); }
    std::uint64_t size() const noexcept { return size_; }
    const BlockRecord& record() const noexcept { return *record_; }
    BlockRecord* held() const noexcept { return record_; }

private:
    Status check(HazardContext* ctx, const void* p, std::uint64_t offset,
                 std::uint64_t length) noexcept;
    // Lets go of the record and says why the access failed.
    Status fail(Find found, BlockRecord* rec) noexcept;

    HazardHold hold_;
    void* address_ = nullptr;
    BlockRecord* record_ = nullptr;
    std::uint64_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The access path, inline: it runs on every call of both modules.

inline Find BlockRegistry::find_live(HazardContext* ctx, const void* p, HazardHold& hold,
                                     BlockRecord*& record) noexcept
{
    return find_published(table_, ctx,
                          static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)), hold,
                          record, [this](BlockRecord* r) { after_access(r); });
}

inline Status BlockAccess::check(HazardContext* ctx, const void* p, std::uint64_t offset,
                                 std::uint64_t length) noexcept
{
    release();
    BlockRecord* rec = nullptr;
    Find found = block_registry().find_live(ctx, p, hold_, rec);
    if (found == Find::live) {
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
    const Status status = check(ctx, p, offset, length);
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
