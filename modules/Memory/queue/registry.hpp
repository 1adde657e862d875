// The process-wide registry of queues handed to Lua scripts.  Like the block
// registry (and separate from it), it makes a bare queue address meaningful in
// every Lua state, keeps a queue alive while an operation uses it, and keeps
// the counts of shared queues.
//
// It follows the block registry's discipline (registry.hpp): item operations
// take no lock; they publish the queue's record in a hazard slot and check
// that it is live.  Writers (new, delete, retain, release, the clean-up)
// serialise on this registry's mutex.  Phases:
//
//   free -> live -> deleting -> live      (delete refused: an operation is open)
//                        \---> retired    (delete; last release; clean-up)
//   retired -> free                      (no slot names it: destroyed)
//
// A record in `deleting` is being checked for open operations; operations
// that meet it wait for the verdict.  A retired queue with open operations is
// closed: each of them gets a wake-up unit, so a waiter blocked in
// wait_dequeue returns; the last one out (its QueueUse sees the retired
// phase) has the queue destroyed.  Queues are destroyed, with the plain
// blocks still in them, after the mutex is released, so making or deleting
// other queues does not wait for a long drain.
//
// Lock order: this registry's mutex may be held while the block registry's
// is taken, never the reverse.
#pragma once

#include <atomic>
#include <cstdint>

#include "Memory/address_table.hpp"
#include "Memory/hazard.hpp"
#include "Memory/lock.hpp"
#include "Memory/queue/queue.hpp"
#include "Memory/record_lookup.hpp"
#include "Memory/registry.hpp"
#include "common/message.hpp"

namespace luamods::memory {

struct alignas(64) QueueRecord {
    enum Phase : std::uint32_t { kFree, kLive, kDeleting, kRetired };
    static constexpr std::uint32_t kChanging = kDeleting;

    std::atomic<std::uint32_t> phase{kFree};
    std::atomic<std::int32_t> ref_count{1};  // holders of a shared queue; 1 for a plain one
    std::atomic<std::uint64_t> address{0};
    std::atomic<bool> shared{false};
    QueueRecord* next = nullptr;  // free or retired list; under the mutex

    Queue* queue() const noexcept
    {
        return reinterpret_cast<Queue*>(
            static_cast<std::uintptr_t>(address.load(std::memory_order_relaxed)));
    }
};

class QueueRegistry {
public:
    constexpr QueueRegistry() noexcept = default;
    ~QueueRegistry();
    QueueRegistry(const QueueRegistry&) = delete;
    QueueRegistry& operator=(const QueueRegistry&) = delete;

    // Makes and lists a queue; null when it cannot be made.
    Queue* create(bool shared) noexcept;

    using Change = memory::Change;
    Change remove(const void* q) noexcept;  // delete
    Change retain(const void* q, std::int32_t& count) noexcept;
    Change release(const void* q, std::int32_t& count) noexcept;
    void cleanup() noexcept;

    // Readers: the live record listed under `q`, published in `hold`.
    using Find = memory::Find;
    Find find_live(HazardContext* ctx, const void* q, HazardHold& hold,
                   QueueRecord*& record) noexcept;

    // The end of an operation on a record that may have been retired
    // meanwhile: the last one destroys the queue.
    void after_use(QueueRecord* record) noexcept
    {
        if (HazardHold::phase_after(record->phase) == QueueRecord::kRetired)
            after_retired_use();
    }

private:
    class Locked;
    void retire(QueueRecord* record) noexcept;
    void reclaim_unused(Locked& locked) noexcept;
    void after_retired_use() noexcept;

    mutable RegistryMutex mutex_;
    AddressTable<QueueRecord> table_;
    RecordPool<QueueRecord> records_;
    QueueRecord* retired_ = nullptr;
};

// The one queue registry of this library, constant-initialised.
extern constinit QueueRegistry g_queue_registry;
inline QueueRegistry& queue_registry() noexcept { return g_queue_registry; }

// Frees the plain blocks still queued in `q` (shared blocks and foreign
// addresses are left alone), then the queue itself.  Only for a queue that
// no operation uses any more.
void destroy_queue(Queue* q) noexcept;

// The host's clean-up callback: destroys every plain queue of the process
// (closes the ones in use, which go with their last operation) and leaves
// shared queues alone.
int queue_cleanup();

// A scoped use of one queue by an item operation: while it is held the queue
// is not destroyed; delete is refused and release or clean-up only close it.
class QueueUse {
public:
    QueueUse() = default;
    ~QueueUse() { release(); }
    QueueUse(const QueueUse&) = delete;
    QueueUse& operator=(const QueueUse&) = delete;

    // Fails with "memory.queue: unknown or deleted queue (%p)" for an
    // unlisted or deleted queue.
    bool acquire(HazardContext* ctx, void* q, Message& err) noexcept;
    void release() noexcept;

    Queue& queue() const noexcept { return *queue_; }
    const QueueRecord& record() const noexcept { return *record_; }

private:
    void fail(QueueRecord* rec, bool no_slot, const void* q, Message& err) noexcept;

    HazardHold hold_;
    Queue* queue_ = nullptr;
    QueueRecord* record_ = nullptr;
};

// ---------------------------------------------------------------------------
// The use path, inline: it runs on every item operation.

inline QueueRegistry::Find QueueRegistry::find_live(HazardContext* ctx, const void* q,
                                                    HazardHold& hold, QueueRecord*& record) noexcept
{
    return find_published(table_, ctx,
                          static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(q)), hold,
                          record, [this](QueueRecord* r) { after_use(r); });
}

inline bool QueueUse::acquire(HazardContext* ctx, void* q, Message& err) noexcept
{
    release();
    QueueRecord* rec = nullptr;
    QueueRegistry::Find found = queue_registry().find_live(ctx, q, hold_, rec);
    if (found == QueueRegistry::Find::live) {
        queue_ = rec->queue();
        record_ = rec;
        return true;
    }
    fail(rec, found == QueueRegistry::Find::no_slot, q, err);
    return false;
}

inline void QueueUse::release() noexcept
{
    hold_.clear();
    if (QueueRecord* rec = record_) {
        queue_ = nullptr;
        record_ = nullptr;
        queue_registry().after_use(rec);
    }
}

}  // namespace luamods::memory
