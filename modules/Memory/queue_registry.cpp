#include "Memory/queue_registry.hpp"

#include <new>

#include "Memory/registry.hpp"

namespace luamods::memory {

namespace {
std::uint64_t key(const void* q) noexcept
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(q));
}

inline void cpu_relax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

struct QueueRecordChunk {
    static constexpr int kRecords = 63;
    QueueRecord records[kRecords];
};
}  // namespace

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

QueueRegistry& queue_registry() noexcept
{
    // Built at library load at the latest by the first luaopen.
    static QueueRegistry registry;
    return registry;
}

void destroy_queue(Queue* q) noexcept
{
    // No operation uses the queue any more (no hazard slot names its record,
    // and none can start), and each one's end was a release store that the
    // writer's check acquired: the queue is quiescent.
    q->drain([](void* item) { free_plain_block(item); });
    delete q;
}

// ---------------------------------------------------------------------------
// Readers

QueueRegistry::Find QueueRegistry::find_live(HazardContext* ctx, const void* q, HazardHold& hold,
                                             QueueRecord*& record) const noexcept
{
    const std::uint64_t k = key(q);
    for (;;) {
        QueueRecord* r = table_.find(k);
        if (!r)
            return Find::unknown;
        if (!hold.held()) {
            if (!hold.publish(ctx, r))
                return Find::no_slot;
        } else {
            hold.republish(r);
        }
        std::uint32_t phase = r->phase.load(std::memory_order_acquire);
        // A delete is checking for open operations: wait for its verdict.
        while (phase == QueueRecord::kDeleting) {
            cpu_relax();
            phase = r->phase.load(std::memory_order_acquire);
        }
        const bool same = r->address.load(std::memory_order_relaxed) == k;
        if (phase == QueueRecord::kLive && same) {
            record = r;
            return Find::live;
        }
        if (phase == QueueRecord::kRetired && same)
            return Find::unknown;
        // The record went back to the pool: what is listed now?
    }
}

void QueueRegistry::after_use(QueueRecord* record) noexcept
{
    if (record->phase.load(std::memory_order_relaxed) != QueueRecord::kRetired)
        return;
    Locked locked(*this);
    reclaim_unused(locked);
}

bool QueueUse::acquire(HazardContext* ctx, void* q, ErrorText& err) noexcept
{
    release();
    QueueRecord* rec = nullptr;
    switch (queue_registry().find_live(ctx, q, hold_, rec)) {
    case QueueRegistry::Find::live:
        queue_ = rec->queue();
        record_ = rec;
        return true;
    case QueueRegistry::Find::unknown:
        hold_.clear();
        err.set("memory.queue: unknown or deleted queue (%p)", q);
        return false;
    case QueueRegistry::Find::no_slot:
        break;
    }
    err.set("memory.queue: out of memory");
    return false;
}

void QueueUse::release() noexcept
{
    hold_.clear();
    if (!record_)
        return;
    QueueRecord* rec = record_;
    queue_ = nullptr;
    record_ = nullptr;
    queue_registry().after_use(rec);
}

// ---------------------------------------------------------------------------
// Writers (under the mutex)

Queue* QueueRegistry::create(bool shared) noexcept
{
    auto* q = new (std::nothrow) Queue;
    if (!q)
        return nullptr;
    Locked locked(*this);
    if (!free_records_) {
        if (auto* chunk = new (std::nothrow) QueueRecordChunk) {
            // Never freed: a stale reader may look at a record at any time.
            for (QueueRecord& r : chunk->records) {
                r.next = free_records_;
                free_records_ = &r;
            }
        }
    }
    if (!free_records_ || !table_.reserve(1)) {
        locked.doom(q);  // nothing is listed
        return nullptr;
    }
    QueueRecord* r = free_records_;
    free_records_ = r->next;
    r->next = nullptr;
    r->address.store(key(q), std::memory_order_relaxed);
    r->ref_count.store(1, std::memory_order_relaxed);
    r->shared.store(shared, std::memory_order_relaxed);
    r->phase.store(QueueRecord::kLive, std::memory_order_release);
    table_.insert(key(q), r);
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
        r->next = free_records_;
        free_records_ = r;
        locked.doom(q);
    }
}

QueueRegistry::Change QueueRegistry::remove(const void* q) noexcept
{
    Locked locked(*this);
    QueueRecord* r = table_.find(key(q));
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
    QueueRecord* r = table_.find(key(q));
    if (!r)
        return Change::unknown;
    if (!r->shared.load(std::memory_order_relaxed))
        return Change::not_shared;
    std::int32_t n = r->ref_count.load(std::memory_order_relaxed);
    if (n < 1)
        return Change::over_released;
    if (n == INT32_MAX)  // two billion holders: refuse, do not wrap
        return Change::too_many;
    count = n + 1;
    r->ref_count.store(count, std::memory_order_relaxed);
    return Change::done;
}

QueueRegistry::Change QueueRegistry::release(const void* q, std::int32_t& count) noexcept
{
    Locked locked(*this);
    QueueRecord* r = table_.find(key(q));
    if (!r)
        return Change::unknown;
    if (!r->shared.load(std::memory_order_relaxed))
        return Change::not_shared;
    std::int32_t n = r->ref_count.load(std::memory_order_relaxed);
    if (n < 1)
        return Change::over_released;
    count = n - 1;
    r->ref_count.store(count, std::memory_order_relaxed);
    if (count == 0) {
        retire(r);  // waiters on it wake and fail
        reclaim_unused(locked);
    }
    return Change::done;
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
