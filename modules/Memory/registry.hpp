// The process-wide registry of heap blocks handed to Lua scripts.  A bare
// address is meaningful in every Lua state because every operation looks it up
// here first; bytes are copied outside the mutex, protected by busy counts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "Memory/error_text.hpp"
#include "Memory/lock.hpp"

namespace luamods::memory {

// busy_count and pending_free of a record share one atomic word (pending in
// bit 0, the count above it).  Everything else about a record changes only
// under the registry mutex; the end of an access is a lock-free decrement, and
// because retiring and leaving are single atomic steps on one word, exactly
// one thread sees the moment a retired block has no access left, and that
// thread returns the memory.
class BusyState {
public:
    std::int32_t busy_count() const noexcept
    {
        return static_cast<std::int32_t>(word_.load(std::memory_order_acquire) >> 1);
    }
    bool pending_free() const noexcept { return word_.load(std::memory_order_acquire) & 1u; }

    // Under the mutex, on a record that is not pending.
    void enter() noexcept { word_.fetch_add(2, std::memory_order_relaxed); }

    // Marks the block freed; true when no access is open, so the caller frees now.
    bool retire() noexcept { return (word_.fetch_or(1, std::memory_order_acq_rel) >> 1) == 0; }

    // Ends one access; true when it was the last of a retired block, so the
    // caller frees.  Ordered after the access's copies (release) and before
    // the free (acquire).
    bool leave() noexcept { return word_.fetch_sub(2, std::memory_order_acq_rel) == 3; }

private:
    std::atomic<std::uint32_t> word_{0};
};

struct BlockRecord {
    BlockRecord(std::uint64_t size_, bool shared_, bool queue_owned_) noexcept
        : size(size_), shared(shared_), queue_owned(queue_owned_)
    {
    }

    std::uint64_t size;         // bytes asked for; 0 for a zero-size block (1 byte held)
    std::int32_t ref_count = 1; // holders of a shared block; 1 for a plain block
    BusyState busy;             // open BlockAccess uses, and the pending-free mark
    bool shared;                // made by `shared`: zero-filled, reference counted
    bool queue_owned;           // carries a pushed string: its queue frees it

    std::int32_t busy_count() const noexcept { return busy.busy_count(); }
    bool pending_free() const noexcept { return busy.pending_free(); }
};

struct AddressHash {
    std::size_t operator()(std::uintptr_t a) const noexcept
    {
        // Heap addresses share their low bits; multiply to spread them.
        std::uint64_t x = static_cast<std::uint64_t>(a) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(x ^ (x >> 32));
    }
};

class BlockRegistry {
public:
    using Map = std::unordered_map<std::uintptr_t, BlockRecord, AddressHash>;

    // The records, reachable only while the mutex is held.
    class Locked {
    public:
        explicit Locked(BlockRegistry& r) noexcept
            : lock_(r.mutex_), map_(r.records_), queue_blocks_(r.queue_blocks_)
        {
        }

        // The live record of `p`, or null when it is unlisted or pending free
        // (both mean "unknown or freed" to every script-facing operation).
        BlockRecord* find_live(const void* p) noexcept;

        // Logically frees the block: marks it pending and returns its memory
        // now, or leaves that to the last open access.
        void retire(const void* p, BlockRecord& rec) noexcept;

        // Removes the record of `p` and returns its memory.
        void erase_and_free(const void* p) noexcept;

        Map& records() noexcept { return map_; }

        // Lists a new block.  May throw std::bad_alloc (nothing is listed then).
        void insert(const void* p, std::uint64_t size, bool shared, bool queue_owned);

        // A pushed string handed to the script: an ordinary plain block from now on.
        void disown(BlockRecord& rec) noexcept;

    private:
        RegistryLock lock_;
        Map& map_;
        std::atomic<std::uint64_t>& queue_blocks_;
    };

    Locked lock() noexcept { return Locked(*this); }

    // Records with queue_owned set; changed under the mutex.  A thread that
    // took an item out of a queue reads it without the mutex: the push that
    // listed the item's block happened before, so 0 means the item is no
    // pushed string.
    std::uint64_t queue_blocks() const noexcept
    {
        return queue_blocks_.load(std::memory_order_relaxed);
    }

private:
    RegistryMutex mutex_;
    Map records_;
    std::atomic<std::uint64_t> queue_blocks_{0};
};

// The one registry of this library, shared with memory.queue.
BlockRegistry& block_registry() noexcept;

// Allocates and lists a block: calloc'd and marked shared when `zeroed`,
// malloc'd and plain otherwise.  A zero-size request holds 1 byte.  On failure
// sets "memory: allocation of N bytes failed" and lists nothing.
void* register_block(std::uint64_t size, bool zeroed, ErrorText& err) noexcept;

// A plain block holding a copy of a string pushed into a queue, listed only
// once the copy is made.  The queue owns it: `pop` or the queue's destruction
// frees it, and the host clean-up of blocks leaves it to the queue's own
// clean-up (a shared queue keeps its strings across clean-ups).
void* register_queue_string(const char* data, std::size_t len, ErrorText& err) noexcept;

// For the queue module: `n` items taken out of a queue and handed to the
// script.  A pushed string among them becomes an ordinary plain block, which
// the host clean-up of blocks frees.
void disown_queue_blocks(void* const* items, std::size_t n) noexcept;

// For the queue module: logically frees a listed plain block; false (and no
// change) for an unlisted address or a shared block.
bool free_plain_block(const void* p) noexcept;

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
    // it (no check when length is kNoRangeCheck); on failure sets `err`.
    bool acquire(const void* p, std::uint64_t offset, std::uint64_t length,
                 ErrorText& err) noexcept;
    void release() noexcept;

    unsigned char* bytes() const noexcept { return static_cast<unsigned char*>(address_); }
    std::uint64_t size() const noexcept { return size_; }

private:
    void* address_ = nullptr;
    // Stays valid while the access is open: a record with an open access is
    // never erased, and neither rehashing nor re-keying moves the map's nodes.
    BlockRecord* record_ = nullptr;
    std::uint64_t size_ = 0;
};

}  // namespace luamods::memory
