// AddressTable: the map from an address to its record, read without a lock
// and written without one.
//
// Open addressing with linear probing over a power-of-two array of slots,
// each an atomic key and an atomic record pointer.  Readers probe with
// acquire loads and may see a slot half-way through a change, so what they
// find is only a candidate: the caller checks, under a hazard slot, that the
// record is the live one for the address (see registry.hpp).
//
// Writers change slots with compare-and-swap, so threads listing and
// unlisting different addresses never wait for each other:
//  - insert claims an empty or erased slot (empty/erased -> busy), writes
//    the record, then publishes the key (busy -> key, a release store);
//  - erase turns the key's slot into a tombstone (key -> erased).
// A key is listed at most once: only the one writer that owns an address
// (the one that allocated it, or that won its record's phase) lists or
// unlists it.  Tombstones keep probe chains through them intact; they are
// reused by inserts and dropped when the table is rebuilt.
//
// A rebuild runs under the owner's mutex when the table would pass half
// used (tombstones count).  It freezes every slot of the current table (sets
// kFrozen with a compare-and-swap, waiting out a slot that is busy), so no
// writer changes it meanwhile; a writer that meets a frozen slot waits for
// the rebuild to end and starts again.  Then either the live keys move to a
// larger table, published in place of the old one, which stays readable
// (a reader may still be probing it) until the owner goes away; or, when
// mostly tombstones filled the table, they are listed again in the same
// slots without the tombstones.  The rebuild's sequence number is odd while
// it runs: a reader that found nothing checks it and looks again if a
// rebuild ran meanwhile (a key may have been moving under it).  What a
// reader finds is checked by its caller anyway.
//
// Keys 0 (empty), 1 (erased) and 2 (busy) are never addresses, and no
// user-space address has bit 63 set.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "Memory/backoff.hpp"

namespace luamods::memory {

template <class Record>
class AddressTable {
    static constexpr std::uint64_t kEmpty = 0, kErased = 1, kBusy = 2;
    static constexpr std::uint64_t kFrozen = std::uint64_t{1} << 63;
    // Tables smaller than this grow rather than only drop their tombstones.
    static constexpr std::size_t kChurnSlots = std::size_t{1} << 14;
    // From this size on, writers add the empty slots they take to the count
    // this many at a time (try_insert).
    static constexpr std::size_t kUsedBatchFrom = std::size_t{1} << 12;
    static constexpr std::uint32_t kUsedBatch = 16;

    struct Slot {
        std::atomic<std::uint64_t> key{kEmpty};
        std::atomic<Record*> record{nullptr};
    };
    struct Table {
        int bits = 0;
        std::uint64_t mask = 0;
        std::atomic<std::size_t> used{0};  // slots ever taken from empty: live, busy, erased
        Table* older = nullptr;            // tables replaced by this one, kept for readers
        Slot* slots = nullptr;

        std::uint64_t home(std::uint64_t key) const noexcept
        {
            return (key * 0x9E3779B97F4A7C15ull) >> (64 - bits);
        }
        // Room for one more key without the table passing half full.
        bool has_room() const noexcept
        {
            return (used.load(std::memory_order_relaxed) + 1) * 2 <= mask + 1;
        }
    };

public:
    constexpr AddressTable() noexcept = default;
    // Frees every table; for the owner's destructor only.
    void destroy() noexcept
    {
        for (Table* t = current_.load(std::memory_order_relaxed); t;) {
            Table* older = t->older;
            delete[] t->slots;
            delete t;
            t = older;
        }
        current_.store(nullptr, std::memory_order_relaxed);
    }
    AddressTable(const AddressTable&) = delete;
    AddressTable& operator=(const AddressTable&) = delete;

    // Readers and writers: the record listed under `key`, or null.
    Record* find(std::uint64_t key) const noexcept
    {
        Spot spot;
        return find(key, spot);
    }

    // Where a key was found, so that its finder can erase it without a
    // second probe.
    struct Spot {
        std::atomic<std::uint64_t>* key = nullptr;
    };

    Record* find(std::uint64_t key, Spot& spot) const noexcept
    {
        if (key <= kBusy)
            return nullptr;
        for (Backoff backoff;; backoff.wait()) {
            const std::uint64_t seq = rebuilds_.load(std::memory_order_acquire);
            const Table* t = current_.load(std::memory_order_acquire);
            if (!t)
                return nullptr;
            for (std::uint64_t i = t->home(key);; i = (i + 1) & t->mask) {
                std::uint64_t k = t->slots[i].key.load(std::memory_order_acquire) & ~kFrozen;
                if (k == key) {
                    spot.key = &t->slots[i].key;
                    return t->slots[i].record.load(std::memory_order_acquire);
                }
                if (k == kEmpty)
                    break;
            }
            // Every slot write of a rebuild is a release after its odd
            // number: a probe that read one of them sees the number move.
            if ((seq & 1) == 0 && rebuilds_.load(std::memory_order_acquire) == seq)
                return nullptr;
        }
    }

    // Any writer: lists `record` under `key` (not listed).  False when the
    // table must be rebuilt first (reserve, under the owner's mutex).
    //
    // `unsaid` is the caller's own count of empty slots it took and has not
    // added to the table's count yet: in a large table a writer adds them
    // kUsedBatch at a time, so that writers on several threads do not all
    // write one counter on every insert.  The table may then pass half full
    // by that much per writer, which its size leaves room for.
    bool try_insert(std::uint64_t key, Record* record, std::uint32_t* unsaid = nullptr) noexcept
    {
        for (;;) {
            Table* t = current_.load(std::memory_order_acquire);
            if (!t || !t->has_room())
                return false;
            switch (insert_into(*t, key, record, unsaid)) {
            case Placed::done: return true;
            case Placed::full: return false;
            case Placed::frozen: wait_rebuilt(); break;
            }
        }
    }

    // Any writer that owns `key`: unlists it.  A slot found earlier is tried
    // first: it still holds the key unless a rebuild moved it (then the
    // slot is frozen, or no longer current and frozen for good).
    void erase(std::uint64_t key, const Spot& spot) noexcept
    {
        std::uint64_t expected = key;
        if (spot.key &&
            spot.key->compare_exchange_strong(expected, kErased, std::memory_order_release,
                                              std::memory_order_acquire))
            return;
        erase(key);
    }

    void erase(std::uint64_t key) noexcept
    {
        if (key <= kBusy)
            return;
        for (;;) {
            const std::uint64_t seq = rebuilds_.load(std::memory_order_acquire);
            Table* t = current_.load(std::memory_order_acquire);
            if (!t)
                return;
            std::uint64_t i = t->home(key);
            std::uint64_t k;
            while ((k = t->slots[i].key.load(std::memory_order_acquire) & ~kFrozen) != key) {
                if (k == kEmpty)
                    break;
                i = (i + 1) & t->mask;
            }
            if (k != key) {
                // Not met: a rebuild may have been moving it.
                if ((seq & 1) == 0 && rebuilds_.load(std::memory_order_acquire) == seq)
                    return;
                wait_rebuilt();
                continue;
            }
            std::uint64_t expected = key;
            if (t->slots[i].key.compare_exchange_strong(
                    expected, kErased, std::memory_order_release, std::memory_order_acquire))
                return;
            wait_rebuilt();  // frozen: the key may move
        }
    }

    // How many rebuilds have run (tests and statistics).
    std::uint64_t rebuilds() const noexcept
    {
        return rebuilds_.load(std::memory_order_relaxed) / 2;
    }

    // Under the owner's mutex: makes room for `n` more keys, rebuilding the
    // table when it would pass half full.  False when no memory was left
    // for a new table.
    bool reserve(std::size_t n) noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        if (t && (t->used.load(std::memory_order_relaxed) + n) * 2 <= t->mask + 1)
            return true;
        return rebuild_now(t, n);
    }

    // Under the owner's mutex: drops the tombstones now (after many keys
    // went at once), so that lookups of unknown keys stay short.
    bool compact() noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        return !t || rebuild_now(t, 0);
    }

private:
    bool rebuild_now(Table* t, std::size_t n) noexcept
    {
        const std::uint64_t seq = rebuilds_.load(std::memory_order_relaxed);
        // Sequentially consistent: an insert that took a slot either sees
        // the number move or has its slot waited for by the freeze.
        rebuilds_.store(seq + 1, std::memory_order_seq_cst);
        const bool done = t ? rebuild(*t, n) : grow(nullptr, 0, n);
        rebuilds_.store(seq + 2, std::memory_order_release);
        return done;
    }

public:
    // Under the owner's mutex, after reserve(1): lists `record` under `key`.
    // Cannot fail: no rebuild runs meanwhile, and other writers' inserts
    // take at most one slot each past half full.
    void insert(std::uint64_t key, Record* record) noexcept
    {
        insert_into(*current_.load(std::memory_order_relaxed), key, record, nullptr);
    }

    // Under the owner's mutex: fn(key, record) for every listed key.  Keys
    // that other writers list or unlist meanwhile may be met or not.
    template <class Fn>
    void for_each(Fn&& fn) noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        if (!t)
            return;
        for (std::uint64_t i = 0; i <= t->mask; ++i) {
            std::uint64_t k = t->slots[i].key.load(std::memory_order_acquire) & ~kFrozen;
            if (k > kBusy)
                fn(k, t->slots[i].record.load(std::memory_order_acquire));
        }
    }

private:
    // False when the table is frozen.
    enum class Placed { done, frozen, full };

    // A slot is taken only if no rebuild ran since the probe began: one that
    // ran meanwhile may have emptied a slot the probe had passed as full,
    // and a key put behind it would be out of reach.
    Placed insert_into(Table& t, std::uint64_t key, Record* record, std::uint32_t* unsaid) noexcept
    {
        const std::uint64_t seq = rebuilds_.load(std::memory_order_seq_cst);
        if (seq & 1)
            return Placed::frozen;
        std::uint64_t i = t.home(key);
        for (std::uint64_t probes = 0; probes <= t.mask; ++probes, i = (i + 1) & t.mask) {
            Slot& s = t.slots[i];
            // Acquire: a writer that meets a frozen slot then sees the
            // rebuild's odd number and waits for it.
            std::uint64_t k = s.key.load(std::memory_order_acquire);
            while (k <= kErased) {
                if (s.key.compare_exchange_weak(k, kBusy, std::memory_order_seq_cst,
                                                std::memory_order_acquire)) {
                    if (k == kEmpty)
                        count_used(t, unsaid);
                    if (rebuilds_.load(std::memory_order_seq_cst) != seq) {
                        // Not ours after all.  A tombstone, not an empty
                        // slot: another insert may have probed past it.
                        s.key.store(kErased, std::memory_order_release);
                        return Placed::frozen;
                    }
                    // The record before the key: a reader that sees the key
                    // sees it.  A rebuild waits for the key.
                    s.record.store(record, std::memory_order_release);
                    s.key.store(key, std::memory_order_release);
                    return Placed::done;
                }
            }
            if (k & kFrozen)
                return Placed::frozen;
        }
        // No free slot at all (more writers than the slack allows for): the
        // count says full, so the caller's reserve rebuilds.
        t.used.store(t.mask + 1, std::memory_order_relaxed);
        return Placed::full;
    }

    static void count_used(Table& t, std::uint32_t* unsaid) noexcept
    {
        if (!unsaid || t.mask + 1 < kUsedBatchFrom) {
            t.used.fetch_add(1, std::memory_order_relaxed);
        } else if (++*unsaid == kUsedBatch) {
            t.used.fetch_add(kUsedBatch, std::memory_order_relaxed);
            *unsaid = 0;
        }
    }

    void wait_rebuilt() const noexcept
    {
        for (Backoff backoff; rebuilds_.load(std::memory_order_acquire) & 1;)
            backoff.wait();
    }

    struct Pair {
        std::uint64_t key;
        Record* record;
    };

    bool rebuild(Table& old, std::size_t n) noexcept
    {
        // Every slot frozen first, so that no writer changes what is moved.
        std::size_t live = 0;
        for (std::uint64_t i = 0; i <= old.mask; ++i) {
            std::atomic<std::uint64_t>& key = old.slots[i].key;
            std::uint64_t k = key.load(std::memory_order_relaxed);
            for (Backoff backoff;;) {
                if (k == kBusy) {  // an insert between its claim and its key
                    backoff.wait();
                    k = key.load(std::memory_order_relaxed);
                } else if (key.compare_exchange_weak(k, k | kFrozen, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed)) {
                    break;
                }
            }
            if (k > kBusy)
                ++live;
        }
        // Twice the room the keys need, or a larger table.  A table filled
        // mostly by tombstones grows too, up to a limit: addresses come and
        // go faster than it fills, and a larger one fills more slowly (the
        // same address, listed again, takes its old tombstone back).
        const std::size_t size = old.mask + 1;
        const std::size_t used = old.used.load(std::memory_order_relaxed);
        // (Writers count taken slots in batches, so `used` may lag `live`.)
        const std::size_t tombstones = used > live ? used - live : 0;
        if ((live + n) * 4 > size || (size < kChurnSlots && tombstones * 4 > size))
            return grow(&old, live, n) || (thaw(old), false);
        return relist(old, live);
    }

    // A larger table for the frozen one's keys (or the first table).
    bool grow(Table* old, std::size_t live, std::size_t n) noexcept
    {
        int bits = old ? old->bits + 1 : 9;
        while ((live + n) * 4 > (std::size_t{1} << bits))
            ++bits;
        auto* t = new (std::nothrow) Table;
        if (t)
            t->slots = new (std::nothrow) Slot[std::size_t{1} << bits];
        if (!t || !t->slots) {
            delete t;
            return false;
        }
        t->bits = bits;
        t->mask = (std::uint64_t{1} << bits) - 1;
        std::size_t used = 0;
        if (old) {
            for (std::uint64_t i = 0; i <= old->mask; ++i) {
                std::uint64_t k = old->slots[i].key.load(std::memory_order_relaxed) & ~kFrozen;
                if (k > kBusy) {
                    place(*t, k, old->slots[i].record.load(std::memory_order_relaxed), 0);
                    ++used;
                }
            }
        }
        t->used.store(used, std::memory_order_relaxed);
        t->older = old;
        current_.store(t, std::memory_order_release);
        return true;
    }

    // The frozen table's live keys listed again in it, without tombstones.
    bool relist(Table& t, std::size_t live) noexcept
    {
        Pair* pairs = new (std::nothrow) Pair[live ? live : 1];
        if (!pairs) {
            thaw(t);
            return false;
        }
        std::size_t n = 0;
        for (std::uint64_t i = 0; i <= t.mask; ++i) {
            std::uint64_t k = t.slots[i].key.load(std::memory_order_relaxed) & ~kFrozen;
            if (k > kBusy)
                pairs[n++] = {k, t.slots[i].record.load(std::memory_order_relaxed)};
            t.slots[i].key.store(kFrozen | kEmpty, std::memory_order_release);
        }
        for (std::size_t j = 0; j < n; ++j)
            place(t, pairs[j].key, pairs[j].record, kFrozen);
        delete[] pairs;
        t.used.store(n, std::memory_order_relaxed);
        // No writer changes a frozen slot: plain stores thaw them.
        for (std::uint64_t i = 0; i <= t.mask; ++i)
            t.slots[i].key.store(t.slots[i].key.load(std::memory_order_relaxed) & ~kFrozen,
                                 std::memory_order_release);
        return true;
    }

    // Lists a key in a table no writer changes (new, or frozen).
    static void place(Table& t, std::uint64_t key, Record* record, std::uint64_t frozen) noexcept
    {
        std::uint64_t j = t.home(key);
        while ((t.slots[j].key.load(std::memory_order_relaxed) & ~kFrozen) != kEmpty)
            j = (j + 1) & t.mask;
        t.slots[j].record.store(record, std::memory_order_release);
        t.slots[j].key.store(key | frozen, std::memory_order_release);
    }

    static void thaw(Table& t) noexcept
    {
        for (std::uint64_t i = 0; i <= t.mask; ++i)
            t.slots[i].key.fetch_and(~kFrozen, std::memory_order_release);
    }

    std::atomic<Table*> current_{nullptr};
    std::atomic<std::uint64_t> rebuilds_{0};  // odd while a rebuild runs
};

}  // namespace luamods::memory
