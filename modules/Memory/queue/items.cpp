#include "Memory/queue/items.hpp"

namespace luamods::memory {

Taken queue_take_held(QueueUse& use, HazardContext* ctx, void* q, const TimeLimit& limit,
                      void*& item, Message& err) noexcept
{
    if (!use.acquire(ctx, q, err))
        return Taken::failed;
    switch (use.queue().take(item, limit)) {
    case Queue::Take::item: return Taken::item;
    case Queue::Take::empty: return Taken::empty;
    case Queue::Take::closed: break;
    }
    // The queue was deleted while we waited.  The caller releases the use
    // before it raises, so the last waiter out destroys the queue.
    err.set(msg::kQueueUnknownOrDeleted, q);
    return Taken::failed;
}

bool queue_enqueue(HazardContext* ctx, void* q, void* item, Message& err) noexcept
{
    QueueUse use;
    if (!use.acquire(ctx, q, err))
        return false;
    if (!use.queue().put(item)) {
        err.set(msg::kQueueOutOfMemory);
        return false;
    }
    return true;
}

Taken queue_take(HazardContext* ctx, void* q, const TimeLimit& limit, void*& item,
                 Message& err) noexcept
{
    QueueUse use;
    const Taken taken = queue_take_held(use, ctx, q, limit, item, err);
    if (taken == Taken::item)
        hand_over(ctx, use.queue(), &item, 1);
    return taken;
}

bool queue_len(HazardContext* ctx, void* q, std::int64_t& count, Message& err) noexcept
{
    QueueUse use;
    if (!use.acquire(ctx, q, err))
        return false;
    count = use.queue().available();
    return true;
}

bool queue_push(HazardContext* ctx, void* q, const void* data, std::size_t len,
                Message& err) noexcept
{
    QueueUse use;
    if (!use.acquire(ctx, q, err))
        return false;
    void* block = register_queue_string(ctx, static_cast<const char*>(data), len, err);
    if (!block)
        return false;
    // Before the put: a taker that gets the string sees the mark.
    use.queue().note_string();
    if (!use.queue().put(block)) {
        // Nobody else knows the block: it goes, and the caller learns that
        // the string was not queued.
        block_registry().free_plain(ctx, block);
        err.set(msg::kQueueOutOfMemory);
        return false;
    }
    return true;
}

}  // namespace luamods::memory
