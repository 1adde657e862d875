#include "Memory/queue/registry.hpp"

#include <new>

#include "Memory/host_hook.hpp"
#include "Memory/messages.hpp"
#include "Memory/registry.hpp"

namespace luamods::memory {

// At unload or process exit: the records go, the queues they list stay.
QueueRegistry::~QueueRegistry()
{
    if (g_library_pinned.load(std::memory_order_relaxed))
        return;
    table_.destroy();
    records_.destroy();
}

// The mutex, and the queues unlisted while it was held: they are destroyed
// once it is released.
class QueueRegistry::Locked {
public:
    explicit Locked(QueueRegistry& r) noexcept : lock_(r.mutex_) {}
    ~Locked()
    {
        lock_.unlock();
        while (Queue* q = doomed_) {
            doomed_ = q->next_doomed;
            destroy_queue(q);
        }
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    void doom(Queue* q) noexcept
    {
        q->next_doomed = doomed_;
        doomed_ = q;
    }

private:
    RegistryLock lock_;
    Queue* doomed_ = nullptr;
};

constinit QueueRegistry g_queue_registry;

void destroy_queue(Queue* q) noexcept
{
    // No operation uses the queue any more (no hazard slot names its record,
    // and none can start), and each one's end was a release store that the
    // writer's check acquired: the queue is quiescent.
    q->drain([](void* item) { block_registry().free_plain(nullptr, item); });
    delete q;
}

// ---------------------------------------------------------------------------
// Readers

void QueueRegistry::after_retired_use() noexcept
{
    Locked locked(*this);
    reclaim_unused(locked);
}

void QueueUse::fail(QueueRecord* rec, bool no_slot, const void* q, Message& err) noexcept
{
    // A retirer that saw this hold counted it as an operation in progress
    // and left the queue's destruction to it.
    hold_.clear();
    if (rec)
        queue_registry().after_use(rec);
    if (no_slot)
        err.set(msg::kQueueOutOfMemory);
    else
        err.set(msg::kQueueUnknownOrDeleted, q);
}

// ---------------------------------------------------------------------------
// Writers (under the mutex)

Queue* QueueRegistry::create(bool shared) noexcept
{
    auto* q = new (std::nothrow) Queue;
    if (!q)
        return nullptr;
    Locked locked(*this);
    QueueRecord* r = table_.reserve(1) ? records_.take() : nullptr;
    if (!r) {
        locked.doom(q);  // nothing is listed
        return nullptr;
    }
    r->address.store(address_key(q), std::memory_order_relaxed);
    r->ref_count.store(1, std::memory_order_relaxed);
    r->shared.store(shared, std::memory_order_relaxed);
    r->phase.store(QueueRecord::kLive, std::memory_order_release);
    table_.insert(address_key(q), r);
    return q;
}

void QueueRegistry::retire(QueueRecord* r) noexcept
{
    r->phase.store(QueueRecord::kRetired, std::memory_order_release);
    table_.erase(r->address.load(std::memory_order_relaxed));
    r->next = retired_;
    retired_ = r;
}

void QueueRegistry::reclaim_unused(Locked& locked) noexcept
{
    if (!retired_)
        return;
    Hazards& hazards = Hazards::instance();
    hazards.barrier();
    QueueRecord** link = &retired_;
    while (QueueRecord* r = *link) {
        Queue* q = r->queue();
        if (int users = hazards.count_published(r)) {
            // Operations still open: wake them (once), the last one out
            // comes back here.
            if (!q->closed())
                q->close(users);
            link = &r->next;
            continue;
        }
        *link = r->next;
        r->phase.store(QueueRecord::kFree, std::memory_order_release);
        records_.give(r);
        locked.doom(q);
    }
}

QueueRegistry::Change QueueRegistry::remove(const void* q) noexcept
{
    Locked locked(*this);
    QueueRecord* r = table_.find(address_key(q));
    if (!r)
        return Change::unknown;
    if (r->shared.load(std::memory_order_relaxed))
        return Change::shared;
    Hazards& hazards = Hazards::instance();
    r->phase.store(QueueRecord::kDeleting, std::memory_order_relaxed);
    hazards.barrier();
    if (hazards.published(r)) {
        r->phase.store(QueueRecord::kLive, std::memory_order_release);
        return Change::busy;
    }
    retire(r);
    reclaim_unused(locked);
    return Change::done;
}

QueueRegistry::Change QueueRegistry::retain(const void* q, std::int32_t& count) noexcept
{
    Locked locked(*this);
    QueueRecord* r = table_.find(address_key(q));
    return r ? step_ref_count(*r, 1, count) : Change::unknown;
}

QueueRegistry::Change QueueRegistry::release(const void* q, std::int32_t& count) noexcept
{
    Locked locked(*this);
    QueueRecord* r = table_.find(address_key(q));
    if (!r)
        return Change::unknown;
    Change done = step_ref_count(*r, -1, count);
    if (done == Change::done && count == 0) {
        retire(r);  // waiters on it wake and fail
        reclaim_unused(locked);
    }
    return done;
}

void QueueRegistry::cleanup() noexcept
{
    Locked locked(*this);
    table_.for_each([&](std::uint64_t, QueueRecord* r) {
        if (!r->shared.load(std::memory_order_relaxed))
            retire(r);
    });
    reclaim_unused(locked);
}

int queue_cleanup()
{
    queue_registry().cleanup();
    return 0;
}

}  // namespace luamods::memory
