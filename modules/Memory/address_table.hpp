// AddressTable: the map from an address to its record, read without a lock.
//
// Open addressing with linear probing over a power-of-two array of slots,
// each an atomic key and an atomic record pointer.  Only writers change it,
// all under their registry's mutex; readers probe with acquire loads and may
// see a slot half-way through a change, so what they find is only a
// candidate: the caller checks, under a hazard slot, that the record is the
// live one for the address (see registry.hpp).
//
// Keys 0 (empty) and 1 (erased) are never addresses.  An erased slot keeps
// probe chains through it intact; it becomes empty again when nothing can
// probe past it (the slot after it is empty), so tombstones do not pile up.
// A full table is replaced by a larger one; the old one stays readable,
// because a reader may still be probing it, until the registry goes away.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

namespace luamods::memory {

template <class Record>
class AddressTable {
    static constexpr std::uint64_t kEmpty = 0, kErased = 1;

    struct Slot {
        std::atomic<std::uint64_t> key{kEmpty};
        std::atomic<Record*> record{nullptr};
    };
    struct Table {
        int bits = 0;
        std::uint64_t mask = 0;
        std::size_t used = 0;  // live and erased slots
        std::size_t live = 0;
        Table* older = nullptr;  // tables replaced by this one, kept for readers
        Slot* slots = nullptr;

        std::uint64_t home(std::uint64_t key) const noexcept
        {
            return (key * 0x9E3779B97F4A7C15ull) >> (64 - bits);
        }
    };

public:
    constexpr AddressTable() noexcept = default;
    // Frees every table; for the registry's destructor only.
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
        const Table* t = current_.load(std::memory_order_acquire);
        if (!t || key <= kErased)
            return nullptr;
        for (std::uint64_t i = t->home(key);; i = (i + 1) & t->mask) {
            std::uint64_t k = t->slots[i].key.load(std::memory_order_acquire);
            if (k == key)
                return t->slots[i].record.load(std::memory_order_acquire);
            if (k == kEmpty)
                return nullptr;
        }
    }

    // Writers: makes room for `n` more keys, so that the inserts that follow
    // cannot fail.  False when no memory was left for a larger table.
    bool reserve(std::size_t n) noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        if (t && (t->used + n) * 2 <= t->mask + 1)
            return true;
        std::size_t live = t ? t->live : 0;
        int bits = t ? t->bits : 9;
        // At most half full after the inserts, and room for as many again.
        while ((live + n) * 4 > (std::size_t{1} << bits))
            ++bits;
        return rebuild(bits);
    }

    // Writers, after reserve(1): lists `record` under `key` (not listed yet).
    void insert(std::uint64_t key, Record* record) noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        std::uint64_t i = t->home(key);
        while (t->slots[i].key.load(std::memory_order_relaxed) > kErased)
            i = (i + 1) & t->mask;
        if (t->slots[i].key.load(std::memory_order_relaxed) == kEmpty)
            ++t->used;
        ++t->live;
        // The record before the key: a reader that sees the key sees it.
        t->slots[i].record.store(record, std::memory_order_release);
        t->slots[i].key.store(key, std::memory_order_release);
    }

    // Writers: unlists `key`.
    void erase(std::uint64_t key) noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        if (!t || key <= kErased)
            return;
        std::uint64_t i = t->home(key);
        for (;; i = (i + 1) & t->mask) {
            std::uint64_t k = t->slots[i].key.load(std::memory_order_relaxed);
            if (k == key)
                break;
            if (k == kEmpty)
                return;
        }
        t->slots[i].key.store(kErased, std::memory_order_release);
        --t->live;
        // No chain runs past an erased slot followed by an empty one: such
        // slots, back to the last live one, can be empty again.
        while (t->slots[(i + 1) & t->mask].key.load(std::memory_order_relaxed) == kEmpty &&
               t->slots[i].key.load(std::memory_order_relaxed) == kErased) {
            t->slots[i].key.store(kEmpty, std::memory_order_release);
            --t->used;
            i = (i - 1) & t->mask;
        }
    }

    // Writers: fn(key, record) for every listed key.  fn may erase the key
    // it is given (erasing only changes slots at or before it).
    template <class Fn>
    void for_each(Fn&& fn) noexcept
    {
        Table* t = current_.load(std::memory_order_relaxed);
        if (!t)
            return;
        for (std::uint64_t i = 0; i <= t->mask; ++i) {
            std::uint64_t k = t->slots[i].key.load(std::memory_order_relaxed);
            if (k > kErased)
                fn(k, t->slots[i].record.load(std::memory_order_relaxed));
        }
    }

private:
    bool rebuild(int bits) noexcept
    {
        auto* t = new (std::nothrow) Table;
        if (!t)
            return false;
        t->slots = new (std::nothrow) Slot[std::size_t{1} << bits];
        if (!t->slots) {
            delete t;
            return false;
        }
        t->bits = bits;
        t->mask = (std::uint64_t{1} << bits) - 1;
        Table* old = current_.load(std::memory_order_relaxed);
        if (old) {
            for (std::uint64_t i = 0; i <= old->mask; ++i) {
                std::uint64_t k = old->slots[i].key.load(std::memory_order_relaxed);
                if (k <= kErased)
                    continue;
                std::uint64_t j = t->home(k);
                while (t->slots[j].key.load(std::memory_order_relaxed) != kEmpty)
                    j = (j + 1) & t->mask;
                t->slots[j].record.store(old->slots[i].record.load(std::memory_order_relaxed),
                                         std::memory_order_relaxed);
                t->slots[j].key.store(k, std::memory_order_relaxed);
                ++t->used;
                ++t->live;
            }
        }
        t->older = old;
        current_.store(t, std::memory_order_release);
        return true;
    }

    std::atomic<Table*> current_{nullptr};
};

}  // namespace luamods::memory
