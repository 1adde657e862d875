#include "Memory/registry.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "Memory/args.hpp"
#include "Memory/backoff.hpp"
#include "Memory/host_hook.hpp"
#include "Memory/messages.hpp"

namespace luamods::memory {

namespace {
// Where the barrier interrupts every thread of the process, a state returns
// the memory it freed in batches of this many blocks, or sooner once they
// hold this many bytes (few enough that the allocator's recently freed
// memory is still in cache when it hands it out again).  The registry's own
// list of retired records waits for as many.  Where the barrier is a plain
// fence, every free returns its memory at once.
constexpr std::size_t kBatchBlocks = BlockCache::kRetiredMax;
constexpr std::uint64_t kBatchBytes = std::uint64_t{64} << 10;
// A state's spare records: taken from the registry this many at a time, and
// given back by half once it holds more than a batch of retired records
// brings back.
constexpr std::uint32_t kSpareBatch = 32;
constexpr std::uint32_t kSpareMax = BlockCache::kRetiredMax + kSpareBatch;

bool asymmetric() noexcept { return Hazards::instance().asymmetric(); }
std::uint64_t batch_bytes() noexcept { return asymmetric() ? kBatchBytes : 0; }

std::uint32_t phase_of(std::uint32_t word) noexcept { return word & kPhaseMask; }
std::uint32_t with_phase(std::uint32_t word, std::uint32_t phase) noexcept
{
    return (word & ~kPhaseMask) | phase;
}
// Live again after a change of block or address: a compare-and-swap that
// expects the word from before cannot take it any more.
std::uint32_t next_live(std::uint32_t word) noexcept
{
    return ((word & ~kPhaseMask) + kPhaseMask + 1) | BlockRecord::kLive;
}

void lock_cache(BlockCache& c) noexcept
{
    for (Backoff backoff; c.lock.exchange(true, std::memory_order_acquire);)
        backoff.wait();
}
void unlock_cache(BlockCache& c) noexcept { c.lock.store(false, std::memory_order_release); }

// A writer cache's lock, held for a scope: its state's batch takes it.
class CacheLock {
public:
    explicit CacheLock(BlockCache& c) noexcept : cache_(c) { lock_cache(cache_); }
    CacheLock(const CacheLock&) = delete;
    CacheLock& operator=(const CacheLock&) = delete;
    ~CacheLock() { unlock_cache(cache_); }

private:
    BlockCache& cache_;
};

// Every cache on the registry's list locked for a scope, in list order, by a
// holder of the mutex: the only place that takes more than one.  Caches stay
// on the list as long as the registry lives.
class CachesLocked {
public:
    explicit CachesLocked(BlockCache* first) noexcept : first_(first)
    {
        for (BlockCache* c = first_; c; c = c->next)
            lock_cache(*c);
    }
    CachesLocked(const CachesLocked&) = delete;
    CachesLocked& operator=(const CachesLocked&) = delete;
    ~CachesLocked()
    {
        for (BlockCache* c = first_; c; c = c->next)
            unlock_cache(*c);
    }

private:
    BlockCache* first_;
};

// Returns a retired record's memory; the record is free from then on.
void return_memory(BlockRecord* r, std::uint32_t word) noexcept
{
    std::free(r->block());
    r->phase.store(with_phase(word, BlockRecord::kFree), std::memory_order_release);
}

}  // namespace

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
    for (BlockCache* c = caches_.load(std::memory_order_relaxed); c;) {
        for (std::uint32_t i = 0; i < c->retired_count.load(std::memory_order_relaxed); ++i) {
            BlockRecord* r = c->retired[i].load(std::memory_order_relaxed);
            if (phase_of(r->phase.load(std::memory_order_relaxed)) == BlockRecord::kRetired)
                std::free(r->block());
        }
        BlockCache* next = c->next;
        delete c;
        c = next;
    }
    records_.destroy();
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

void BlockRegistry::after_retired_access(BlockRecord* record) noexcept
{
    if (record->size.load(std::memory_order_relaxed) < batch_bytes() &&
        retired_bytes_.load(std::memory_order_relaxed) < batch_bytes())
        return;
    Locked locked(*this);
    reclaim_unused();
}

Status BlockAccess::fail(Find found, BlockRecord* rec) noexcept
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
    if (found == Find::no_slot)
        return Status::no_memory;
    if (found == Find::unknown)
        return Status::unknown;
    if (released)
        return Status::released;
    size_ = size;
    return Status::out_of_bounds;
}

// ---------------------------------------------------------------------------
// Records

BlockCache* BlockRegistry::cache_of(HazardContext* ctx) noexcept
{
    if (!ctx)
        return nullptr;
    if (BlockCache* c = ctx->block_cache)
        return c;
    auto* c = new (std::nothrow) BlockCache;
    if (!c)
        return nullptr;
    Locked locked(*this);
    c->next = caches_.load(std::memory_order_relaxed);
    caches_.store(c, std::memory_order_release);
    ctx->block_cache = c;
    return c;
}

// A free record: the state's spare, or (refilling the spares) the registry's.
BlockRecord* BlockRegistry::take_record(BlockCache* cache) noexcept
{
    if (cache && cache->spare) {
        BlockRecord* r = cache->spare;
        cache->spare = r->next;
        --cache->spare_count;
        return r;
    }
    Locked locked(*this);
    const std::uint32_t want = cache ? kSpareBatch : 1;
    BlockRecord* taken = nullptr;
    for (std::uint32_t n = 0; n < want; ++n) {
        BlockRecord* r = records_.take();
        if (!r)
            break;
        if (!taken) {
            taken = r;
            continue;
        }
        r->next = cache->spare;
        cache->spare = r;
        ++cache->spare_count;
    }
    return taken;
}

namespace {
// A record for the state's spares; past the limit, half go to `surplus`.
void keep_spare(BlockCache& cache, BlockRecord* r, BlockRecord*& surplus) noexcept
{
    r->next = cache.spare;
    cache.spare = r;
    if (++cache.spare_count <= kSpareMax)
        return;
    BlockRecord* last = cache.spare;
    for (std::uint32_t i = 1; i < kSpareMax / 2; ++i)
        last = last->next;
    BlockRecord* rest = last->next;
    last->next = nullptr;
    cache.spare_count = kSpareMax / 2;
    while (rest) {
        BlockRecord* next = rest->next;
        rest->next = surplus;
        surplus = rest;
        rest = next;
    }
}
}  // namespace

void BlockRegistry::give_records(BlockRecord* list) noexcept
{
    if (!list)
        return;
    Locked locked(*this);
    while (list) {
        BlockRecord* next = list->next;
        records_.give(list);
        list = next;
    }
}

// ---------------------------------------------------------------------------
// Writers without the mutex

bool BlockRegistry::list(BlockRecord* r, std::uint64_t k, BlockCache* cache) noexcept
{
    while (!table_.try_insert(k, r, cache ? &cache->unsaid_slots : nullptr)) {
        Locked locked(*this);
        if (!table_.reserve(1))
            return false;
    }
    return true;
}

bool BlockRegistry::add(HazardContext* ctx, void* p, std::uint64_t size, bool shared,
                        bool queue_owned) noexcept
{
    BlockCache* cache = cache_of(ctx);
    BlockRecord* r = take_record(cache);
    if (!r)
        return false;
    r->address.store(address_key(p), std::memory_order_relaxed);
    r->size.store(size, std::memory_order_relaxed);
    r->ref_count.store(1, std::memory_order_relaxed);
    r->shared.store(shared, std::memory_order_relaxed);
    r->queue_owned.store(queue_owned, std::memory_order_relaxed);
    const std::uint32_t word = next_live(r->phase.load(std::memory_order_relaxed));
    r->phase.store(word, std::memory_order_release);
    if (!list(r, address_key(p), cache)) {
        r->phase.store(with_phase(word, BlockRecord::kFree), std::memory_order_release);
        r->next = nullptr;
        give_records(r);
        return false;
    }
    return true;
}

// Wins the live plain record listed under `p` for its caller: retired from
// now on, and no other writer can take it.
Change BlockRegistry::claim(const void* p, BlockRecord*& record, Spot& spot) noexcept
{
    const std::uint64_t k = address_key(p);
    for (Backoff backoff;; backoff.wait()) {
        BlockRecord* r = table_.find(k, spot);
        if (!r)
            return Change::unknown;
        std::uint32_t word = r->phase.load(std::memory_order_acquire);
        // Being moved, or found under an address it no longer carries (its
        // slot is about to be erased): look again.
        if (phase_of(word) == BlockRecord::kMoving ||
            r->address.load(std::memory_order_relaxed) != k)
            continue;
        if (phase_of(word) != BlockRecord::kLive)
            return Change::unknown;  // another writer won it
        if (r->shared.load(std::memory_order_relaxed))
            return Change::shared;
        if (r->phase.compare_exchange_strong(word, with_phase(word, BlockRecord::kRetired),
                                             std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
            record = r;
            return Change::done;
        }
    }
}

// The winner of a record takes its address out of the table.
void BlockRegistry::unlist(BlockRecord* r, const Spot& spot) noexcept
{
    table_.erase(r->address.load(std::memory_order_relaxed), spot);
}

// A claimed, unlisted record on its way back: its memory is returned once no
// access holds it.
void BlockRegistry::retire(HazardContext* ctx, BlockRecord* r) noexcept
{
    BlockCache* cache = cache_of(ctx);
    if (!cache) {
        Locked locked(*this);
        hold_retired(r);
        return;
    }
    Hazards& hazards = Hazards::instance();
    if (!hazards.asymmetric()) {
        hazards.barrier();
        if (!hazards.published(r)) {
            return_memory(r, r->phase.load(std::memory_order_relaxed));
            BlockRecord* surplus = nullptr;
            keep_spare(*cache, r, surplus);
            give_records(surplus);
            return;
        }
        // An access holds it: the registry's list, where the last one out
        // finds it.  The check runs again under the mutex, in case that
        // access ended before the record was on the list.
        Locked locked(*this);
        hold_retired(r);
        return;
    }
    const std::uint32_t n = cache->retired_count.load(std::memory_order_relaxed);
    cache->retired[n].store(r, std::memory_order_relaxed);
    cache->retired_count.store(n + 1, std::memory_order_release);
    cache->retired_bytes += r->size.load(std::memory_order_relaxed);
    if (n + 1 == BlockCache::kRetiredMax || cache->retired_bytes >= kBatchBytes)
        return_batch(*cache);
}

// The state's batch: one barrier, then every retired record of its cache
// that no access holds goes back (and the ones a holder of the mutex
// returned meanwhile become spares).
void BlockRegistry::return_batch(BlockCache& cache) noexcept
{
    BlockRecord* surplus = nullptr;
    {
        const CacheLock locked(cache);
        Hazards& hazards = Hazards::instance();
        hazards.barrier();
        HazardSnapshot held;
        hazards.snapshot(held);
        const std::uint32_t n = cache.retired_count.load(std::memory_order_relaxed);
        std::uint32_t kept = 0;
        std::uint64_t bytes = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            BlockRecord* r = cache.retired[i].load(std::memory_order_relaxed);
            const std::uint32_t word = r->phase.load(std::memory_order_acquire);
            if (phase_of(word) == BlockRecord::kRetired) {
                if (held.contains(r)) {
                    cache.retired[kept++].store(r, std::memory_order_relaxed);
                    bytes += r->size.load(std::memory_order_relaxed);
                    continue;
                }
                return_memory(r, word);
            }
            keep_spare(cache, r, surplus);
        }
        cache.retired_count.store(kept, std::memory_order_release);
        cache.retired_bytes = bytes;
    }
    give_records(surplus);
}

void BlockRegistry::flush(HazardContext* ctx) noexcept
{
    BlockCache* cache = ctx ? ctx->block_cache : nullptr;
    if (cache && cache->retired_count.load(std::memory_order_relaxed) > 0)
        return_batch(*cache);
}

Change BlockRegistry::free_plain(HazardContext* ctx, const void* p) noexcept
{
    BlockRecord* r = nullptr;
    Spot spot;
    const Change claimed = claim(p, r, spot);
    if (claimed != Change::done)
        return claimed;
    unlist(r, spot);
    retire(ctx, r);
    return Change::done;
}

bool BlockRegistry::free_accessed(HazardContext* ctx, BlockAccess& access) noexcept
{
    BlockRecord* r = access.held();
    const std::uint64_t k = address_key(access.bytes());
    bool won = false;
    for (Backoff backoff;; backoff.wait()) {
        std::uint32_t word = r->phase.load(std::memory_order_acquire);
        // A realloc that meets our hold gives up: wait for it.
        if (phase_of(word) == BlockRecord::kMoving)
            continue;
        if (phase_of(word) != BlockRecord::kLive ||
            r->address.load(std::memory_order_relaxed) != k ||
            r->shared.load(std::memory_order_relaxed))
            break;
        if (r->phase.compare_exchange_strong(word, with_phase(word, BlockRecord::kRetired),
                                             std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
            won = true;
            break;
        }
    }
    access.drop();
    if (!won) {
        after_access(r);
        return false;
    }
    unlist(r, Spot{});
    retire(ctx, r);
    return true;
}

// ---------------------------------------------------------------------------
// Writers under the mutex

// The live record listed under `p`; `word` gets its phase word.
BlockRecord* BlockRegistry::listed(const void* p, std::uint32_t& word) noexcept
{
    BlockRecord* r = table_.find(address_key(p));
    if (!r)
        return nullptr;
    word = r->phase.load(std::memory_order_acquire);
    const bool live = phase_of(word) == BlockRecord::kLive &&
                      r->address.load(std::memory_order_relaxed) == address_key(p);
    return live ? r : nullptr;
}

// A retired record onto the registry's list (the mutex held), returned with
// the next batch, or at once where the barrier is a fence.
void BlockRegistry::hold_retired(BlockRecord* r) noexcept
{
    list_retired(r);
    if (retired_count_ >= kBatchBlocks ||
        retired_bytes_.load(std::memory_order_relaxed) >= batch_bytes())
        reclaim_unused();
}

// A retired record onto the registry's list (the mutex held), nothing more.
void BlockRegistry::list_retired(BlockRecord* r) noexcept
{
    r->next = retired_;
    retired_ = r;
    ++retired_count_;
    retired_bytes_.store(retired_bytes_.load(std::memory_order_relaxed) +
                             r->size.load(std::memory_order_relaxed),
                         std::memory_order_relaxed);
}

// Returns every retired record's memory that no access holds: the
// registry's list and every state's cache.  Returns the bytes still held.
std::uint64_t BlockRegistry::reclaim_unused() noexcept
{
    // The caches are locked and their counts read before the barrier, so
    // every record counted was retired before it.
    BlockCache* caches = caches_.load(std::memory_order_acquire);
    const CachesLocked locked(caches);
    bool any = retired_ != nullptr;
    for (BlockCache* c = caches; c; c = c->next) {
        c->seen = c->retired_count.load(std::memory_order_acquire);
        any = any || c->seen > 0;
    }
    std::uint64_t held_bytes = 0;
    if (any) {
        Hazards& hazards = Hazards::instance();
        hazards.barrier();
        HazardSnapshot held;
        hazards.snapshot(held);
        BlockRecord** link = &retired_;
        while (BlockRecord* r = *link) {
            if (held.contains(r)) {
                held_bytes += r->size.load(std::memory_order_relaxed);
                link = &r->next;
                continue;
            }
            *link = r->next;
            --retired_count_;
            return_memory(r, r->phase.load(std::memory_order_relaxed));
            records_.give(r);
        }
        retired_bytes_.store(held_bytes, std::memory_order_relaxed);
        // A cache's records stay where they are (its state appends behind
        // them); the ones returned are free, and its next batch takes them.
        for (BlockCache* c = caches; c; c = c->next)
            for (std::uint32_t i = 0; i < c->seen; ++i) {
                BlockRecord* r = c->retired[i].load(std::memory_order_relaxed);
                const std::uint32_t word = r->phase.load(std::memory_order_acquire);
                if (phase_of(word) != BlockRecord::kRetired)
                    continue;
                if (held.contains(r))
                    held_bytes += r->size.load(std::memory_order_relaxed);
                else
                    return_memory(r, word);
            }
    }
    return held_bytes;
}

Change BlockRegistry::retain(const void* p, std::int32_t& count) noexcept
{
    Locked locked(*this);
    std::uint32_t word = 0;
    BlockRecord* r = listed(p, word);
    return r ? step_ref_count(*r, 1, count) : Change::unknown;
}

Change BlockRegistry::release(const void* p, std::int32_t& count) noexcept
{
    Locked locked(*this);
    std::uint32_t word = 0;
    BlockRecord* r = listed(p, word);
    if (!r)
        return Change::unknown;
    Change done = step_ref_count(*r, -1, count);
    // The last reference: gone for every caller from now on; the memory
    // follows once no access holds it.  Only the mutex's holders change a
    // shared record.
    if (done == Change::done && count == 0) {
        r->phase.store(with_phase(word, BlockRecord::kRetired), std::memory_order_release);
        unlist(r, Spot{});
        hold_retired(r);
    }
    return done;
}

BlockRegistry::Move BlockRegistry::realloc(void* p, std::uint64_t size, void*& moved) noexcept
{
    Locked locked(*this);
    std::uint32_t word = 0;
    BlockRecord* r = listed(p, word);
    if (!r)
        return Move::unknown;
    const std::uint64_t old_key = r->address.load(std::memory_order_relaxed);
    if (r->shared.load(std::memory_order_relaxed))
        return Move::shared;
    // Room for the new key first: nothing may fail once the memory moved.
    if (!table_.reserve(1))
        return Move::no_table;
    // A free may win the record first.
    if (!r->phase.compare_exchange_strong(word, with_phase(word, BlockRecord::kMoving),
                                          std::memory_order_acq_rel, std::memory_order_relaxed))
        return Move::unknown;
    Hazards& hazards = Hazards::instance();
    hazards.barrier();
    if (hazards.published(r)) {
        r->phase.store(word, std::memory_order_release);
        return Move::busy;
    }
    void* q = size <= SIZE_MAX ? std::realloc(p, size == 0 ? 1 : static_cast<std::size_t>(size))
                               : nullptr;
    if (!q) {
        r->phase.store(word, std::memory_order_release);
        return Move::no_memory;
    }
    if (address_key(q) != old_key) {
        table_.erase(old_key);
        r->address.store(address_key(q), std::memory_order_relaxed);
        table_.insert(address_key(q), r);
    }
    r->size.store(size, std::memory_order_relaxed);
    // A queued string reached through its address is the caller's plain
    // block from now on (its queue keeps only the old address, as after a
    // free): marked as the queue's, it would outlive every clean-up.
    r->queue_owned.store(false, std::memory_order_relaxed);
    // A new generation: a free that read the record before it moved cannot
    // take it for the old address.
    r->phase.store(next_live(word), std::memory_order_release);
    moved = q;
    return Move::done;
}

void BlockRegistry::disown(HazardContext* ctx, void* const* items, std::size_t n) noexcept
{
    for (std::size_t i = 0; i < n; ++i) {
        HazardHold hold;
        BlockRecord* r = nullptr;
        Find found = find_live(ctx, items[i], hold, r);
        if (found == Find::live && r->queue_owned.load(std::memory_order_relaxed))
            r->queue_owned.store(false, std::memory_order_relaxed);
        hold.clear();
        if (r)
            after_access(r);
    }
}

std::uint64_t BlockRegistry::count_allocations() noexcept
{
    Locked locked(*this);
    std::uint64_t total = reclaim_unused();
    table_.for_each([&](std::uint64_t k, BlockRecord* r) {
        if (phase_of(r->phase.load(std::memory_order_acquire)) == BlockRecord::kLive &&
            r->address.load(std::memory_order_relaxed) == k)
            total += r->size.load(std::memory_order_relaxed);
    });
    return total;
}

void BlockRegistry::cleanup() noexcept
{
    Locked locked(*this);
    // Shared blocks outlive the clean-up, and a queue's strings go with their
    // queue.  A free running meanwhile may win a record first.
    table_.for_each([&](std::uint64_t k, BlockRecord* r) {
        std::uint32_t word = r->phase.load(std::memory_order_acquire);
        if (phase_of(word) != BlockRecord::kLive ||
            r->address.load(std::memory_order_relaxed) != k ||
            r->shared.load(std::memory_order_relaxed) ||
            r->queue_owned.load(std::memory_order_relaxed))
            return;
        if (!r->phase.compare_exchange_strong(word, with_phase(word, BlockRecord::kRetired),
                                              std::memory_order_acq_rel, std::memory_order_relaxed))
            return;
        unlist(r, Spot{});
        list_retired(r);
    });
    reclaim_unused();
    // Most keys may have gone at once: lookups of unknown addresses would
    // walk their tombstones until the table next filled up.
    table_.compact();
}

// ---------------------------------------------------------------------------
// Entry points for the Lua functions and the queue module

namespace {
// The block is complete (zeroed, or holding `init`) before it is listed: from
// the moment it is listed any state may name its address, and a state holding
// a stale copy of the same address may free it.
void* register_new_block(HazardContext* ctx, std::uint64_t size, bool zeroed, bool queue_owned,
                         const void* init, Message& err) noexcept
{
    void* p = nullptr;
    if (size <= SIZE_MAX) {
        std::size_t n = size == 0 ? 1 : static_cast<std::size_t>(size);
        p = zeroed ? std::calloc(1, n) : std::malloc(n);
        if (p && init && size > 0)
            std::memcpy(p, init, n);
    }
    if (p) {
        if (block_registry().add(ctx, p, size, zeroed, queue_owned))
            return p;
        std::free(p);  // the registry could not grow: nothing is listed
    }
    err.set(msg::kAllocationFailed, static_cast<unsigned long long>(size));
    return nullptr;
}
}  // namespace

void* register_block(std::uint64_t size, bool zeroed, Message& err, HazardContext* ctx) noexcept
{
    return register_new_block(ctx, size, zeroed, false, nullptr, err);
}

void* register_queue_string(HazardContext* ctx, const char* data, std::size_t len,
                            Message& err) noexcept
{
    return register_new_block(ctx, len, false, true, data, err);
}

int memory_cleanup()
{
    block_registry().cleanup();
    return 0;
}

}  // namespace luamods::memory
