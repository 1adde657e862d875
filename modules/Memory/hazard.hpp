// Hazard slots: how a reader tells the writers which record it is using,
// without a lock and without writing any cache line that another thread
// writes too.
//
// Every Lua state that opens memory or memory.queue gets a HazardContext: a
// few slots on a cache line of their own.  An access publishes the record it
// is about to use in a free slot of its state's context, then checks that the
// record is still the live one for its address, uses it, and clears the slot.
// A writer that retires a record (free, release, realloc, delete, clean-up)
// first changes the record's phase, then calls barrier() and reads every
// slot: a record that no slot names cannot be in use, and every access that
// starts later sees the new phase and lets go of it.
//
// Two orderings must hold, each a store followed by a load on both sides:
//  - publish: the reader's slot store, then its phase load, against the
//    writer's phase store, then its slot loads (the writer must see the slot
//    or the reader the new phase);
//  - clear: the reader's slot clear, then its phase load (after_access,
//    after_use), against the same writer (a writer that still sees the slot
//    leaves the reclaim to the reader, so the reader must then see the
//    retired phase: "the last one out" reclaims).
// Either
//  - asymmetric (Linux with membarrier): the reader's stores are plain and the
//    writer's barrier() makes every running thread execute a full fence; or
//  - fenced (everywhere else): the reader's stores are exchanges (a full
//    fence), its phase loads sequentially consistent, and the writer's
//    barrier() is a fence of its own.
// The choice is made once per process, before any slot is published; the
// process barrier behind the asymmetric mode is one file per platform
// (process_barrier.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace luamods::memory {

inline constexpr int kSlotsPerContext = 4;

struct BlockCache;

struct alignas(64) HazardContext {
    std::atomic<const void*> slots[kSlotsPerContext] = {};
    std::atomic<bool> claimed{false};
    HazardContext* next = nullptr;  // every context ever made; never freed
    // The block registry's writer cache of the state holding the context;
    // it stays with the context when another state claims it.
    BlockCache* block_cache = nullptr;
};

class HazardSnapshot;

class Hazards {
public:
    constexpr Hazards() noexcept = default;
    ~Hazards();
    Hazards(const Hazards&) = delete;
    Hazards& operator=(const Hazards&) = delete;

    static Hazards& instance() noexcept;

    // Chooses the ordering mode, once per process; every luaopen calls it
    // before its state can publish anything.
    void init() noexcept;

    // A context for a Lua state, or for one call that has none free: a
    // recycled one, or a new one.  Null when no memory is left.
    HazardContext* claim() noexcept;
    // Back to the pool; every slot of it must be clear.
    void give_back(HazardContext* ctx) noexcept;

    bool asymmetric() const noexcept { return asymmetric_; }

    // Writers, after changing a record's phase and before reading the slots.
    void barrier() noexcept;

    // True when some slot names `record`.  After barrier().
    bool published(const void* record) const noexcept;
    // Number of slots that name `record`.  After barrier().
    int count_published(const void* record) const noexcept;
    // Every record some slot names.  After barrier().
    void snapshot(HazardSnapshot& out) const noexcept;

private:
    std::atomic<HazardContext*> head_{nullptr};
    bool asymmetric_ = false;
};

// One published slot, held for the length of one access.
class HazardHold {
public:
    HazardHold() = default;
    ~HazardHold() { clear(); }
    HazardHold(const HazardHold&) = delete;
    HazardHold& operator=(const HazardHold&) = delete;

    // Publishes `record` in a free slot of `ctx`; a state whose slots are
    // all taken (accesses nested through finalizers) or that has no context
    // any more (finalizers run while it closes) borrows one from the pool.
    // False only when no context could be had.
    bool publish(HazardContext* ctx, const void* record) noexcept
    {
        std::atomic<const void*>* slot = ctx ? free_slot(*ctx) : nullptr;
        if (!slot) {
            borrowed_ = Hazards::instance().claim();
            if (!borrowed_)
                return false;
            slot = &borrowed_->slots[0];
        }
        slot_ = slot;
        if (asymmetric_mode())
            slot->store(record, std::memory_order_relaxed);
        else
            slot->exchange(record, std::memory_order_seq_cst);
        // The reader's phase check must not move above the store.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        return true;
    }

    // Publishes another record in the slot already held (a retry).
    void republish(const void* record) noexcept
    {
        if (asymmetric_mode())
            slot_->store(record, std::memory_order_relaxed);
        else
            slot_->exchange(record, std::memory_order_seq_cst);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }

    // After clear(), a caller that held a record reads its phase with
    // phase_after() to learn whether it was the last one out.
    void clear() noexcept
    {
        if (!slot_)
            return;
        // Release: what the access did to the record's bytes happens before
        // a writer that sees the slot clear frees them.  In the fenced mode
        // the clear is also a full fence, so that the phase load after it
        // cannot be answered before the clear is visible.
        if (asymmetric_mode())
            slot_->store(nullptr, std::memory_order_release);
        else
            slot_->exchange(nullptr, std::memory_order_seq_cst);
        slot_ = nullptr;
        if (borrowed_) {
            Hazards::instance().give_back(borrowed_);
            borrowed_ = nullptr;
        }
    }

    bool held() const noexcept { return slot_ != nullptr; }

    // The phase load that follows a publish or a clear: sequentially
    // consistent, so that with the exchange before it and the writer's
    // fence it forms the full ordering of the fenced mode (a plain load on
    // x86-64, like a relaxed one).
    static std::uint32_t phase_after(const std::atomic<std::uint32_t>& phase) noexcept
    {
        return phase.load(std::memory_order_seq_cst);
    }

private:
    static bool asymmetric_mode() noexcept { return Hazards::instance().asymmetric(); }
    static std::atomic<const void*>* free_slot(HazardContext& ctx) noexcept
    {
        // Only the context's own state touches its slots (one thread at a
        // time), so a clear slot stays clear until this store.
        for (auto& s : ctx.slots)
            if (s.load(std::memory_order_relaxed) == nullptr)
                return &s;
        return nullptr;
    }

    std::atomic<const void*>* slot_ = nullptr;
    HazardContext* borrowed_ = nullptr;
};

// The one set of contexts of this library.
extern constinit Hazards g_hazards;
inline Hazards& Hazards::instance() noexcept { return g_hazards; }

// The records named by every hazard slot at one moment (after a barrier):
// one pass over the slots for a whole batch of records.
class HazardSnapshot {
public:
    bool contains(const void* record) const noexcept
    {
        if (overflow_)
            return Hazards::instance().published(record);
        for (int i = 0; i < n_; ++i)
            if (seen_[i] == record)
                return true;
        return false;
    }

private:
    friend class Hazards;
    static constexpr int kMax = 64;
    const void* seen_[kMax];
    int n_ = 0;
    bool overflow_ = false;
};

}  // namespace luamods::memory
