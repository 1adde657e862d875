#include "Memory/queue_registry.hpp"

namespace luamods::memory {

namespace {
std::uintptr_t key(const void* q) noexcept
{
    return reinterpret_cast<std::uintptr_t>(q);
}

Queue* queue_at(std::uintptr_t k) noexcept
{
    return reinterpret_cast<Queue*>(k);
}

// Sets the delete mark (under the mutex, so that no use can start after it)
// and returns the number of uses then in progress; when there are any, the
// queue is closed so that its waiters wake.
std::int32_t mark_deleted(std::uintptr_t k, QueueRecord& rec) noexcept
{
    std::uint32_t old = rec.state.fetch_or(QueueRecord::kPendingDelete, std::memory_order_acq_rel);
    auto busy = static_cast<std::int32_t>(old & QueueRecord::kBusyMask);
    if (busy > 0)
        queue_at(k)->close(busy);
    return busy;
}
}  // namespace

QueueRegistry& queue_registry() noexcept
{
    // Built at library load at the latest by the first luaopen; destroyed at
    // unload without destroying the queues it still lists.
    static QueueRegistry registry;
    return registry;
}

QueueRecord* QueueRegistry::Locked::find_live(const void* q) noexcept
{
    QueueRecord* rec = nullptr;
    if (key(q) == reg_.last_key_ && reg_.last_record_) {
        rec = reg_.last_record_;
    } else {
        auto it = reg_.records_.find(key(q));
        if (it == reg_.records_.end())
            return nullptr;
        rec = &it->second;
        reg_.last_key_ = key(q);
        reg_.last_record_ = rec;
    }
    return rec->pending_delete() ? nullptr : rec;
}

QueueRegistry::Map::iterator QueueRegistry::Locked::erase(Map::iterator it) noexcept
{
    if (it->first == reg_.last_key_)
        reg_.last_record_ = nullptr;
    return reg_.records_.erase(it);
}

void QueueRegistry::Locked::retire(const void* q, QueueRecord& rec) noexcept
{
    // With uses in progress, the last of them to end destroys the queue.
    if (mark_deleted(key(q), rec) == 0)
        destroy(q);
}

void QueueRegistry::Locked::destroy(const void* q) noexcept
{
    auto it = reg_.records_.find(key(q));
    if (it != reg_.records_.end())
        erase(it);
    destroy_queue(queue_at(key(q)));
}

void destroy_queue(Queue* q) noexcept
{
    // Every operation on the queue has ended, and the end of each was a
    // release on the record's count that the last end (or the delete mark)
    // acquired: nothing is half-way through, so the queue is quiescent.
    q->drain([](void* item) { free_plain_block(item); });
    delete q;
}

int queue_cleanup()
{
    auto locked = queue_registry().lock();
    auto& map = locked.records();
    for (auto it = map.begin(); it != map.end();) {
        QueueRecord& rec = it->second;
        if (rec.shared || rec.pending_delete() || mark_deleted(it->first, rec) > 0) {
            ++it;
        } else {
            Queue* q = queue_at(it->first);
            it = locked.erase(it);
            destroy_queue(q);
        }
    }
    return 0;
}

Queue* create_queue(bool shared, ErrorText& err) noexcept
{
    Queue* q = nullptr;
    try {
        q = new Queue;
        auto locked = queue_registry().lock();
        locked.records().try_emplace(key(q), shared);
        return q;
    } catch (...) {
        delete q;  // the map could not grow: nothing is listed
    }
    err.set("memory.queue: cannot create a queue");
    return nullptr;
}

bool QueueUse::acquire(void* q, ErrorText& err) noexcept
{
    release();
    auto locked = queue_registry().lock();
    QueueRecord* rec = locked.find_live(q);
    if (!rec) {
        err.set("memory.queue: unknown or deleted queue (%p)", q);
        return false;
    }
    rec->state.fetch_add(1, std::memory_order_relaxed);
    queue_ = static_cast<Queue*>(q);
    record_ = rec;
    return true;
}

void QueueUse::release() noexcept
{
    if (!queue_)
        return;
    Queue* q = queue_;
    QueueRecord* rec = record_;
    queue_ = nullptr;
    record_ = nullptr;
    // Only the end of the last use of a deleted queue needs the mutex.  After
    // this decrement the record may be gone unless we were that last use.
    std::uint32_t old = rec->state.fetch_sub(1, std::memory_order_acq_rel);
    if (old == (QueueRecord::kPendingDelete | 1u)) {
        auto locked = queue_registry().lock();
        locked.destroy(q);
    }
}

}  // namespace luamods::memory
