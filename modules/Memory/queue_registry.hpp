// The process-wide registry of queues handed to Lua scripts.  Like the block
// registry (and separate from it), it makes a bare queue address meaningful in
// every Lua state, counts the operations in progress on each queue so that a
// queue is never destroyed under one, and keeps the counts of shared queues.
//
// Lock order: this registry's mutex may be held while the block registry's is
// taken (destroying a queue frees the plain blocks in it), never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "Memory/error_text.hpp"
#include "Memory/lock.hpp"
#include "Memory/queue.hpp"
#include "Memory/registry.hpp"

namespace luamods::memory {

// busy_count and pending_delete live in one atomic word, so that a use can end
// without the mutex and still learn, in the same step, whether it was the last
// use of a deleted queue and must destroy it.  The pending flag is only set,
// and everything else about a record only read or changed, under the mutex.
struct QueueRecord {
    static constexpr std::uint32_t kPendingDelete = 0x80000000u;
    static constexpr std::uint32_t kBusyMask = 0x7fffffffu;

    explicit QueueRecord(bool is_shared) noexcept : shared(is_shared) {}

    std::int32_t ref_count = 1;        // holders of a shared queue; 1 for a plain queue
    std::atomic<std::uint32_t> state{0};  // busy_count (open QueueUse uses, blocked
                                          // waiters included) | kPendingDelete
    bool shared;                       // made by `shared`: reference counted

    std::int32_t busy_count() const noexcept
    {
        return static_cast<std::int32_t>(state.load(std::memory_order_acquire) & kBusyMask);
    }
    // Logically deleted: destroyed when the last use ends.
    bool pending_delete() const noexcept
    {
        return (state.load(std::memory_order_acquire) & kPendingDelete) != 0;
    }
};

class QueueRegistry {
public:
    using Map = std::unordered_map<std::uintptr_t, QueueRecord, AddressHash>;

    // The records, reachable only while the mutex is held.
    class Locked {
    public:
        explicit Locked(QueueRegistry& r) noexcept : lock_(r.mutex_), reg_(r) {}

        // The live record of `q`, or null when it is unlisted or pending
        // delete (both mean "unknown or deleted" to every script).
        QueueRecord* find_live(const void* q) noexcept;

        // Logically deletes the queue: destroys it now, or closes it (waking
        // its waiters) and leaves the destruction to the last open use.
        void retire(const void* q, QueueRecord& rec) noexcept;

        // Removes the record of `q` and destroys the queue.
        void destroy(const void* q) noexcept;

        // Removes a record (without destroying its queue).
        Map::iterator erase(Map::iterator it) noexcept;

        Map& records() noexcept { return reg_.records_; }

    private:
        RegistryLock lock_;
        QueueRegistry& reg_;
    };

    Locked lock() noexcept { return Locked(*this); }

private:
    RegistryMutex mutex_;
    Map records_;
    // The record found last: a script usually works one queue many times in a
    // row.  Records do not move in the map; the entry is dropped with its record.
    std::uintptr_t last_key_ = 0;
    QueueRecord* last_record_ = nullptr;
};

// The one queue registry of this library.
QueueRegistry& queue_registry() noexcept;

// Frees the plain blocks still queued in `q` (shared blocks and foreign
// addresses are left alone), then the queue itself.  Called with the queue
// registry's mutex held, when no operation uses the queue.
void destroy_queue(Queue* q) noexcept;

// The host's clean-up callback: destroys every plain queue of the process
// (marks and wakes the ones in use) and leaves shared queues alone.
int queue_cleanup();

// Makes and lists a queue; null (and `err` set) when it cannot be made.
Queue* create_queue(bool shared, ErrorText& err) noexcept;

// A scoped use of one queue by an item operation: while it is held the queue
// is not destroyed; delete is refused and release or clean-up only mark it.
class QueueUse {
public:
    QueueUse() = default;
    ~QueueUse() { release(); }
    QueueUse(const QueueUse&) = delete;
    QueueUse& operator=(const QueueUse&) = delete;

    // Fails with "memory.queue: unknown or deleted queue (%p)" for an
    // unlisted or deleted queue.
    bool acquire(void* q, ErrorText& err) noexcept;
    void release() noexcept;

    Queue& queue() const noexcept { return *queue_; }

private:
    Queue* queue_ = nullptr;
    QueueRecord* record_ = nullptr;  // map nodes stay put; only the last use's end removes it
};

}  // namespace luamods::memory
