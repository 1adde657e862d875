// One queue of untyped addresses: moodycamel's lock-free multi-producer,
// multi-consumer queue beside its lightweight semaphore.  These are the two
// halves of moodycamel's blocking queue, kept side by side here because
// closing a queue has to put wake-up units into the semaphore (see close()).
//
// The semaphore's count is the one source of truth for what may be taken:
// put() adds a unit after the item is in the queue, every take removes a unit
// first and then dequeues until an item comes out.  A negative count is the
// number of threads blocked in wait_take().
#pragma once

#include <concurrentqueue.h>
#include <lightweightsemaphore.h>

#include <atomic>
#include <cstdint>

#include "common/time_limit.hpp"

namespace luamods::memory {

class Queue {
public:
    using Traits = moodycamel::ConcurrentQueueDefaultTraits;
    using Items = moodycamel::ConcurrentQueue<void*, Traits>;

    // Six blocks of 32 items preallocated (a failed preallocation leaves the
    // queue without storage, not broken); 10000 spins before a taker sleeps.
    Queue() : items_(6 * Items::BLOCK_SIZE), units_(0, Traits::MAX_SEMA_SPINS) {}
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // Enqueues through the calling thread's implicit producer, so the items
    // of one thread come out in the order it put them.  False (nothing
    // queued) when the queue could not grow.
    bool put(void* item) noexcept
    {
        if (!items_.enqueue(item))
            return false;
        units_.signal();
        return true;
    }

    // Whether a pushed string was ever put: only then can a taken item be
    // one, to be handed to the script as a plain block.  Set once, so that
    // takers read a line no one keeps writing.
    void note_string() noexcept
    {
        if (!strings_.load(std::memory_order_relaxed))
            strings_.store(true, std::memory_order_relaxed);
    }
    bool may_hold_strings() const noexcept { return strings_.load(std::memory_order_relaxed); }

    // Takes an item if one is available now.
    bool try_take(void*& item) noexcept { return units_.tryWait() && take_item(item); }

    // Takes an item, waiting as long as needed: spins, then sleeps on the
    // system's semaphore.  False when the queue was closed: the waiter stops
    // without an item (one it may have been owed stays queued and is freed
    // with the queue).
    bool wait_take(void*& item) noexcept
    {
        while (!units_.wait()) {
            // The system wait failed and the semaphore undid our decrement.
            if (closed())
                return false;
        }
        if (closed())
            return false;
        return take_item(item);
    }

    enum class Take { item, empty, closed };

    // Takes an item as `limit` says: now or not at all (dequeue), waiting
    // without limit (wait_take), or waiting until the deadline.  `closed`
    // only while waiting: a queue closed under a take that does not wait
    // looks empty to it, as to try_take.
    Take take(void*& item, const TimeLimit& limit) noexcept
    {
        switch (limit.kind()) {
        case TimeLimit::Kind::now: return try_take(item) ? Take::item : Take::empty;
        case TimeLimit::Kind::forever: return wait_take(item) ? Take::item : Take::closed;
        case TimeLimit::Kind::until: break;
        }
        return wait_take_until(item, limit);
    }

    // Items available, never negative; approximate under concurrency.
    std::int64_t available() const noexcept
    {
        return static_cast<std::int64_t>(units_.availableApprox());
    }

    // Wakes every taker of a queue that is going away.  `users` is the number
    // of operations in progress on it (no new ones can start).  Each of them
    // consumes at most one unit that yields no item before it stops: a waiter
    // stops after its one unit, the other takers stop at the first unit with
    // no item behind it.  So `users` extra units guarantee that every waiter,
    // blocked now or about to block, gets one and returns.
    void close(std::int32_t users) noexcept
    {
        closed_.store(true, std::memory_order_release);
        if (users > 0)
            units_.signal(users);
    }

    bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

    // Hands every item still queued to `fn`.  Only for a queue that nobody
    // uses any more: then a failed dequeue means that the queue is empty.
    template <class Fn>
    void drain(Fn&& fn) noexcept
    {
        void* item = nullptr;
        while (items_.try_dequeue(item))
            fn(item);
    }

    // Queues unlisted under the registry's mutex and destroyed after it.
    Queue* next_doomed = nullptr;

private:
    // wait_take with a deadline.  The semaphore's timed wait undoes its
    // decrement when it times out (or takes a unit signalled meanwhile), so
    // a waiter that gives up leaves the count as it found it; a system wait
    // that ends before the deadline (the clock's granularity) waits again.
    // A waiter consumes at most one unit, as close() counts on.
    Take wait_take_until(void*& item, const TimeLimit& limit) noexcept
    {
        for (;;) {
            const std::int64_t us = limit.next_wait_us();
            if (us == 0) {
                if (units_.tryWait())
                    break;
                return closed() ? Take::closed : Take::empty;
            }
            if (units_.wait(us))
                break;
            if (closed())
                return Take::closed;
        }
        if (closed())
            return Take::closed;
        return take_item(item) ? Take::item : Take::closed;
    }

    // After a unit has been taken: the item behind it.  A dequeue may fail
    // while another taker is half-way through, so retry; on a closed queue
    // the unit may be a wake-up unit with no item behind it, so stop.
    bool take_item(void*& item) noexcept
    {
        while (!items_.try_dequeue(item)) {
            if (closed())
                return false;
        }
        return true;
    }

    Items items_;
    moodycamel::LightweightSemaphore units_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> strings_{false};
};

}  // namespace luamods::memory
