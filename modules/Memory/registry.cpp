#include "Memory/registry.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "Memory/args.hpp"
#include "Memory/host_hook.hpp"
#include "Memory/messages.hpp"

namespace luamods::memory {

namespace {
// Where the barrier interrupts every thread of the process, a free returns
// memory in batches of this many blocks, or sooner once the retired blocks
// hold this many bytes (few enough that the allocator's recently freed
// memory is still in cache when it hands it out again).  Where the barrier
// is a plain fence, every free returns its memory at once.
constexpr std::size_t kBatchBlocks = 64;
constexpr std::uint64_t kBatchBytes = std::uint64_t{64} << 10;

std::uint64_t batch_bytes() noexcept { return Hazards::instance().asymmetric() ? kBatchBytes : 0; }

std::uint64_t key(const void* p) noexcept
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

// Records come in chunks that live as long as the registry (never freed
// before, so a stale reader can always look at one).
struct RecordChunk {
    static constexpr int kRecords = 63;
    BlockRecord records[kRecords];
    RecordChunk* next = nullptr;
};

// At unload (a library that never met a host) or process exit: freed blocks
// still waiting for their batch are returned, the records go, and the blocks
// still listed stay allocated.
BlockRegistry::~BlockRegistry()
{
    if (g_library_pinned.load(std::memory_order_relaxed))
        return;
    table_.destroy();
    for (BlockRecord* r = retired_; r; r = r->next)
        std::free(r->block());
    while (RecordChunk* c = chunks_) {
        chunks_ = c->next;
        delete c;
    }
}

class BlockRegistry::Locked {
public:
    explicit Locked(BlockRegistry& r) noexcept : lock_(r.mutex_) {}

private:
    RegistryLock lock_;
};

// The library pins itself once the host holds its clean-up callback; without
// a host it may unload, and then the blocks it still lists stay allocated.
constinit BlockRegistry g_block_registry;

// ---------------------------------------------------------------------------
// Readers

void BlockRegistry::after_retired_access() noexcept
{
    if (retired_bytes_.load(std::memory_order_relaxed) < batch_bytes())
        return;
    Locked locked(*this);
    reclaim_unused();
}

Status BlockAccess::fail(BlockRegistry::Find found, BlockRecord* rec) noexcept
{
    // A retired record this access held for a moment may be the last thing
    // that kept its memory: let go of it like at the end of an access.  The
    // flags are read before, while the slot still holds the record.
    const bool released = rec && rec->shared.load(std::memory_order_relaxed) &&
                          rec->ref_count.load(std::memory_order_relaxed) < 1;
    const std::uint64_t size = rec ? rec->size.load(std::memory_order_relaxed) : 0;
    hold_.clear();
    if (rec)
        block_registry().after_access(rec);
    if (found == BlockRegistry::Find::no_slot)
        return Status::no_memory;
    if (found == BlockRegistry::Find::unknown)
        return Status::unknown;
    if (released)
        return Status::released;
    size_ = size;
    return Status::out_of_bounds;
}

// ---------------------------------------------------------------------------
// Writers (under the mutex)

BlockRecord* BlockRegistry::take_record() noexcept
{
    if (!free_records_) {
        auto* chunk = new (std::nothrow) RecordChunk;
        if (!chunk)
            return nullptr;
        chunk->next = chunks_;
        chunks_ = chunk;
        for (BlockRecord& r : chunk->records) {
            r.next = free_records_;
            free_records_ = &r;
        }
    }
    BlockRecord* r = free_records_;
    free_records_ = r->next;
    r->next = nullptr;
    return r;
}

bool BlockRegistry::add(void* p, std::uint64_t size, bool shared, bool queue_owned) noexcept
{
    Locked locked(*this);
    if (!table_.reserve(1))
        return false;
    BlockRecord* r = take_record();
    if (!r)
        return false;
    r->address.store(key(p), std::memory_order_relaxed);
    r->size.store(size, std::memory_order_relaxed);
    r->ref_count.store(1, std::memory_order_relaxed);
    r->shared.store(shared, std::memory_order_relaxed);
    r->queue_owned.store(queue_owned, std::memory_order_relaxed);
    r->phase.store(BlockRecord::kLive, std::memory_order_release);
    table_.insert(key(p), r);
    if (queue_owned)
        queue_blocks_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void BlockRegistry::retire(Locked&, BlockRecord* r) noexcept
{
    r->phase.store(BlockRecord::kRetired, std::memory_order_release);
    table_.erase(r->address.load(std::memory_order_relaxed));
    // A reader that disowns the block at the same time may clear the mark:
    // exactly one of the two counts it off.
    if (r->queue_owned.exchange(false, std::memory_order_relaxed))
        queue_blocks_.fetch_sub(1, std::memory_order_relaxed);
    r->next = retired_;
    retired_ = r;
    ++retired_count_;
    const std::uint64_t bytes =
        retired_bytes_.load(std::memory_order_relaxed) + r->size.load(std::memory_order_relaxed);
    retired_bytes_.store(bytes, std::memory_order_relaxed);
    if (retired_count_ >= kBatchBlocks || bytes >= batch_bytes())
        reclaim_unused();
}

void BlockRegistry::reclaim_unused() noexcept
{
    if (!retired_)
        return;
    Hazards& hazards = Hazards::instance();
    hazards.barrier();
    BlockRecord** link = &retired_;
    std::uint64_t bytes = retired_bytes_.load(std::memory_order_relaxed);
    while (BlockRecord* r = *link) {
        if (hazards.published(r)) {
            link = &r->next;
            continue;
        }
        *link = r->next;
        --retired_count_;
        bytes -= r->size.load(std::memory_order_relaxed);
        std::free(r->block());
        r->phase.store(BlockRecord::kFree, std::memory_order_release);
        r->next = free_records_;
        free_records_ = r;
    }
    retired_bytes_.store(bytes, std::memory_order_relaxed);
}

BlockRegistry::Retire BlockRegistry::free_plain(const void* p) noexcept
{
    Locked locked(*this);
    BlockRecord* r = table_.find(key(p));
    if (!r)
        return Retire::unknown;
    if (r->shared.load(std::memory_order_relaxed))
        return Retire::shared;
    retire(locked, r);
    return Retire::done;
}

BlockRegistry::Retire BlockRegistry::retain(const void* p, std::int32_t& count) noexcept
{
    Locked locked(*this);
    BlockRecord* r = table_.find(key(p));
    return r ? step_ref_count(*r, 1, count) : Retire::unknown;
}

BlockRegistry::Retire BlockRegistry::release(const void* p, std::int32_t& count) noexcept
{
    Locked locked(*this);
    BlockRecord* r = table_.find(key(p));
    if (!r)
        return Retire::unknown;
    Retire done = step_ref_count(*r, -1, count);
    // The last reference: gone for every caller from now on; the memory
    // follows once no access holds it.
    if (done == Retire::done && count == 0)
        retire(locked, r);
    return done;
}

BlockRegistry::Move BlockRegistry::realloc(void* p, std::uint64_t size, void*& moved) noexcept
{
    Locked locked(*this);
    BlockRecord* r = table_.find(key(p));
    if (!r)
        return Move::unknown;
    if (r->shared.load(std::memory_order_relaxed))
        return Move::shared;
    // Room for the new key first: nothing may fail once the memory moved.
    if (!table_.reserve(1))
        return Move::no_table;
    Hazards& hazards = Hazards::instance();
    r->phase.store(BlockRecord::kMoving, std::memory_order_relaxed);
    hazards.barrier();
    if (hazards.published(r)) {
        r->phase.store(BlockRecord::kLive, std::memory_order_release);
        return Move::busy;
    }
    void* q = size <= SIZE_MAX ? std::realloc(p, size == 0 ? 1 : static_cast<std::size_t>(size))
                               : nullptr;
    if (!q) {
        r->phase.store(BlockRecord::kLive, std::memory_order_release);
        return Move::no_memory;
    }
    if (q != p) {
        table_.erase(key(p));
        r->address.store(key(q), std::memory_order_relaxed);
        table_.insert(key(q), r);
    }
    r->size.store(size, std::memory_order_relaxed);
    // A queued string reached through its address is the caller's plain
    // block from now on (its queue keeps only the old address, as after a
    // free): marked as the queue's, it would outlive every clean-up.
    if (r->queue_owned.exchange(false, std::memory_order_relaxed))
        queue_blocks_.fetch_sub(1, std::memory_order_relaxed);
    r->phase.store(BlockRecord::kLive, std::memory_order_release);
    moved = q;
    return Move::done;
}

void BlockRegistry::disown(HazardContext* ctx, void* const* items, std::size_t n) noexcept
{
    for (std::size_t i = 0; i < n; ++i) {
        HazardHold hold;
        BlockRecord* r = nullptr;
        Find found = find_live(ctx, items[i], hold, r);
        if (found == Find::live && r->queue_owned.exchange(false, std::memory_order_relaxed))
            queue_blocks_.fetch_sub(1, std::memory_order_relaxed);
        hold.clear();
        if (r)
            after_access(r);
    }
}

std::uint64_t BlockRegistry::count_allocations() noexcept
{
    Locked locked(*this);
    reclaim_unused();
    std::uint64_t total = 0;
    table_.for_each(
        [&](std::uint64_t, BlockRecord* r) { total += r->size.load(std::memory_order_relaxed); });
    for (BlockRecord* r = retired_; r; r = r->next)
        total += r->size.load(std::memory_order_relaxed);
    return total;
}

void BlockRegistry::cleanup() noexcept
{
    Locked locked(*this);
    // Shared blocks outlive the clean-up, and a queue's strings go with their
    // queue.
    table_.for_each([&](std::uint64_t, BlockRecord* r) {
        if (!r->shared.load(std::memory_order_relaxed) &&
            !r->queue_owned.load(std::memory_order_relaxed))
            retire(locked, r);
    });
    reclaim_unused();
}

// ---------------------------------------------------------------------------
// Entry points for the Lua functions and the queue module

namespace {
// The block is complete (zeroed, or holding `init`) before it is listed: from
// the moment it is listed any state may name its address, and a state holding
// a stale copy of the same address may free it.
void* register_new_block(std::uint64_t size, bool zeroed, bool queue_owned, const void* init,
                         Message& err) noexcept
{
    void* p = nullptr;
    if (size <= SIZE_MAX) {
        std::size_t n = size == 0 ? 1 : static_cast<std::size_t>(size);
        p = zeroed ? std::calloc(1, n) : std::malloc(n);
        if (p && init && size > 0)
            std::memcpy(p, init, n);
    }
    if (p) {
        if (block_registry().add(p, size, zeroed, queue_owned))
            return p;
        std::free(p);  // the registry could not grow: nothing is listed
    }
    err.set(msg::kAllocationFailed, static_cast<unsigned long long>(size));
    return nullptr;
}
}  // namespace

void* register_block(std::uint64_t size, bool zeroed, Message& err) noexcept
{
    return register_new_block(size, zeroed, false, nullptr, err);
}

void* register_queue_string(const char* data, std::size_t len, Message& err) noexcept
{
    return register_new_block(len, false, true, data, err);
}

void disown_queue_blocks(HazardContext* ctx, void* const* items, std::size_t n) noexcept
{
    // Most items are no pushed strings: nothing to do while none is listed.
    if (n == 0 || block_registry().queue_blocks() == 0)
        return;
    block_registry().disown(ctx, items, n);
}

bool free_plain_block(const void* p) noexcept
{
    return block_registry().free_plain(p) == BlockRegistry::Retire::done;
}

std::uint64_t count_allocations() noexcept { return block_registry().count_allocations(); }

int memory_cleanup()
{
    block_registry().cleanup();
    return 0;
}

}  // namespace luamods::memory
