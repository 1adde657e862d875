// What both registries share: the key of an address, the pool of records,
// and the lookup every access makes: the record listed under an address, published in a hazard
// slot, and checked to be the live one for that address (the discipline of registry.hpp, invariant
// 3).  Records name their phases kLive, kRetired and kChanging (a writer is deciding about the
// record: realloc moving a block, delete checking a queue for users), in the
// low two bits of the phase word; the bits above may count generations.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "Memory/address_table.hpp"
#include "Memory/backoff.hpp"
#include "Memory/hazard.hpp"

namespace luamods::memory {

enum class Find { live, unknown, no_slot };

inline std::uint64_t address_key(const void* p) noexcept
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

// A registry's records: allocated in chunks that are never freed while the
// registry lives (a stale reader may look at any record at any time), and
// handed out and given back through a free list.  One pool per registry,
// each under that registry's mutex: the block registry's per-state caches
// take their spare records from it in batches, outside the pool.
template <class Record>
class RecordPool {
public:
    // A free record; null when no chunk could be allocated.
    Record* take() noexcept
    {
        if (!free_) {
            auto* chunk = new (std::nothrow) Chunk;
            if (!chunk)
                return nullptr;
            chunk->next = chunks_;
            chunks_ = chunk;
            for (Record& r : chunk->records)
                give(&r);
        }
        Record* r = free_;
        free_ = r->next;
        r->next = nullptr;
        return r;
    }

    void give(Record* r) noexcept
    {
        r->next = free_;
        free_ = r;
    }

    // At unload or process exit, once no reader can be left.
    void destroy() noexcept
    {
        while (Chunk* c = chunks_) {
            chunks_ = c->next;
            delete c;
        }
        free_ = nullptr;
    }

private:
    struct Chunk {
        Record records[63];
        Chunk* next = nullptr;
    };
    Record* free_ = nullptr;
    Chunk* chunks_ = nullptr;
};

inline constexpr std::uint32_t kPhaseMask = 3;

// What a writer's change of a record came to.
enum class Change { done, unknown, shared, not_shared, busy, over_released, too_many };

// `record` is set for a live record, and for a retired one of this address,
// which the caller must let go of like at the end of a use.  `let_go(r)` is
// called for a retired record met on the way to another one.
template <class Record, class LetGo>
inline Find find_published(const AddressTable<Record>& table, HazardContext* ctx, std::uint64_t key,
                           HazardHold& hold, Record*& record, LetGo&& let_go) noexcept
{
    for (;;) {
        Record* r = table.find(key);
        if (!r)
            return Find::unknown;
        if (!hold.held()) {
            if (!hold.publish(ctx, r))
                return Find::no_slot;
        } else {
            hold.republish(r);
        }
        std::uint32_t phase = HazardHold::phase_after(r->phase) & kPhaseMask;
        // A writer is deciding about the record (and realloc may be copying
        // a large block meanwhile): wait for its verdict without holding a
        // core for long.
        for (Backoff backoff; phase == Record::kChanging; backoff.wait())
            phase = HazardHold::phase_after(r->phase) & kPhaseMask;
        const bool same = r->address.load(std::memory_order_relaxed) == key;
        if (phase == Record::kLive && same) {
            record = r;
            return Find::live;
        }
        if (phase == Record::kRetired && same) {
            record = r;
            return Find::unknown;
        }
        // Freed and reused, or moved: what is listed now?  A retired record
        // held for a moment is let go of like at the end of a use.
        hold.republish(nullptr);
        if (phase == Record::kRetired)
            let_go(r);
    }
}

// Writers, under the registry's mutex: one more (delta 1) or one fewer
// (delta -1) holder of a shared record; `count` gets the new count.
template <class Record>
inline Change step_ref_count(Record& r, int delta, std::int32_t& count) noexcept
{
    if (!r.shared.load(std::memory_order_relaxed))
        return Change::not_shared;
    const std::int32_t n = r.ref_count.load(std::memory_order_relaxed);
    if (n < 1)
        return Change::over_released;
    // The count is 32-bit: one more past its maximum would wrap it negative
    // and make a held record look released.
    if (delta > 0 && n == INT32_MAX)
        return Change::too_many;
    count = n + delta;
    r.ref_count.store(count, std::memory_order_relaxed);
    return Change::done;
}

}  // namespace luamods::memory
