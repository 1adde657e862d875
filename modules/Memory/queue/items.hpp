// The item operations of memory.queue, once each, for both ways in: the Lua
// functions (queue/functions.cpp) and the C entry points that
// memory.queue.fast calls through LuaJIT's FFI (queue/fast_abi.cpp).
//
// Each one holds its QueueUse (and, for pop, the BlockAccess of the item)
// for exactly its own work, never calls Lua and never throws; a failure
// leaves its message in `err`, formatted while the call still holds what it
// names, and the caller raises it (or hands it to the FFI) after everything
// is released.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Memory/hazard.hpp"
#include "Memory/messages.hpp"
#include "Memory/queue/registry.hpp"
#include "Memory/registry.hpp"
#include "common/message.hpp"
#include "common/time_limit.hpp"

namespace luamods::memory {

enum class Taken {
    item,    // an item (or pop's string) was taken
    empty,   // none now, or none before the limit expired
    failed,  // the message is in `err`
};

// Puts an address into the queue.
bool queue_enqueue(HazardContext* ctx, void* q, void* item, Message& err) noexcept;

// Items taken out of `queue` and handed to the script: a pushed string among
// them becomes an ordinary plain block.  Nothing to do for a queue that never
// held one.
inline void hand_over(HazardContext* ctx, Queue& queue, void* const* items, std::size_t n) noexcept
{
    if (n > 0 && queue.may_hold_strings())
        block_registry().disown(ctx, items, n);
}

// dequeue, wait_dequeue: the item, which is now the caller's (a pushed
// string among them becomes an ordinary plain block).  A queue that goes
// away under a waiter fails with the unknown-queue message.
Taken queue_take(HazardContext* ctx, void* q, const TimeLimit& limit, void*& item,
                 Message& err) noexcept;

// Items available now, never negative.
bool queue_len(HazardContext* ctx, void* q, std::int64_t& count, Message& err) noexcept;

// Copies `len` bytes into a new plain block that the queue owns, and queues
// it.
bool queue_push(HazardContext* ctx, void* q, const void* data, std::size_t len,
                Message& err) noexcept;

// The take of every operation that takes, with `use` acquired and held for
// the caller (an unknown queue, and a queue gone under a waiter, fail here).
Taken queue_take_held(QueueUse& use, HazardContext* ctx, void* q, const TimeLimit& limit,
                      void*& item, Message& err) noexcept;

// pop, wait_pop: takes an item, hands the whole block it names to
// `sink(bytes, size)` while the block is held, and frees the block.  An item
// that is not a listed plain block (or whose bytes cannot be held) fails
// with "pop only reads items queued with push"; it has left the queue all
// the same.  A sink that cannot make its string reports that on its own
// way: the block is freed all the same, as the item was taken.
template <class Sink>
Taken queue_pop(HazardContext* ctx, void* q, const TimeLimit& limit, Sink&& sink,
                Message& err) noexcept
{
    QueueUse use;
    void* item = nullptr;
    const Taken taken = queue_take_held(use, ctx, q, limit, item, err);
    if (taken != Taken::item)
        return taken;
    BlockAccess access;
    Message dropped;  // why a read failed does not matter: the message says it
    const bool read = access.acquire(ctx, item, 0, kNoRangeCheck, dropped);
    if (read)
        sink(access.bytes(), static_cast<std::size_t>(access.size()));
    // The block freed is the one read, even if a script freed its address
    // meanwhile and it was handed out again.  An item that could not be read
    // has left the queue all the same: its address is freed if it can be.
    const bool freed = read ? block_registry().free_accessed(ctx, access)
                            : block_registry().free_plain(ctx, item) == Change::done;
    if (!freed || !read) {
        err.set(msg::kPopNotPushed, item);
        return Taken::failed;
    }
    return Taken::item;
}

}  // namespace luamods::memory
