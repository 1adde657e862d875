// memory.queue: making, deleting and sharing queues, and the item operations.
// Every function reads its arguments, then works inside respond() while it
// holds its QueueUse (and BlockAccess), and raises only after both are gone.

#include <bit>
#include <cstdint>
#include <cstring>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/messages.hpp"
#include "Memory/queue/functions.hpp"
#include "Memory/queue/items.hpp"
#include "Memory/queue/registry.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

// ---------------------------------------------------------------------------
// Lifecycle

namespace {

int create(lua_State* L, bool shared)
{
    return respond(L, kQueue, [&](Reply& reply) {
        if (Queue* q = queue_registry().create(shared))
            reply.push_pointer(q);
        else
            reply.raise(msg::kQueueCannotCreate);
    });
}

}  // namespace

int lq_new(lua_State* L) { return create(L, false); }

int lq_shared(lua_State* L) { return create(L, true); }

int lq_delete(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    return respond(L, kQueue, [&](Reply& reply) {
        switch (queue_registry().remove(q)) {
        case QueueRegistry::Change::unknown: reply.raise(msg::kQueueDeleteUnknown, q); break;
        case QueueRegistry::Change::shared: reply.raise(msg::kQueueDeleteShared, q); break;
        case QueueRegistry::Change::busy: reply.raise(msg::kQueueBusy, q); break;
        default: break;
        }
    });
}

namespace {

constexpr CountMessages kRetainMessages{msg::kQueueRetainUnknown, msg::kQueueNotShared,
                                        msg::kQueueAlreadyReleased, msg::kQueueTooManyReferences};
constexpr CountMessages kReleaseMessages{msg::kQueueReleaseUnknown, msg::kQueueNotShared,
                                         msg::kQueueOverReleased};

}  // namespace

int lq_retain(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    return respond_count(L, kQueue, q, kRetainMessages,
                         [&](std::int32_t& count) { return queue_registry().retain(q, count); });
}

int lq_release(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    return respond_count(L, kQueue, q, kReleaseMessages,
                         [&](std::int32_t& count) { return queue_registry().release(q, count); });
}

int lq_refcount(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    return respond(L, kQueue, [&](Reply& reply) {
        QueueUse use;
        Message ignored;
        if (!use.acquire(ctx, q, ignored))
            reply.raise(msg::kQueueUnknown, q);
        else if (use.record().shared.load(std::memory_order_relaxed))
            reply.push_integer(use.record().ref_count.load(std::memory_order_relaxed));
        else
            reply.push_integer(1);
    });
}

// ---------------------------------------------------------------------------
// Items

int lq_enqueue(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    void* item = check_pointer_arg(L, 2, msg::kPointerExpected);
    return respond(L, kQueue, [&](Reply& reply) { queue_enqueue(ctx, q, item, reply.error()); });
}

namespace {

// The taking functions come in pairs (dequeue and wait_dequeue, pop and
// wait_pop) that differ only in how long `work` may wait for an item.
using TakeWork = int (*)(lua_State* L, void* q, HazardContext* ctx, const TimeLimit& limit);

// The one that does not wait.
template <TakeWork work>
int at_once(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    return work(L, q, state_context(L), TimeLimit::now());
}

// The one that waits up to the time limit of argument 2.
template <TakeWork work>
int waiting(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    const TimeLimit limit = check_time_limit_arg(L, 2);
    return work(L, q, state_context(L), limit);
}

// dequeue and wait_dequeue: the item as light userdata, or no value at all.
int take(lua_State* L, void* q, HazardContext* ctx, const TimeLimit& limit)
{
    return respond(L, kQueue, [&](Reply& reply) {
        void* item = nullptr;
        if (queue_take(ctx, q, limit, item, reply.error()) == Taken::item)
            reply.push_pointer(item);
    });
}

}  // namespace

int lq_dequeue(lua_State* L) { return at_once<take>(L); }

int lq_wait_dequeue(lua_State* L) { return waiting<take>(L); }

int lq_len(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    return respond(L, kQueue, [&](Reply& reply) {
        std::int64_t count = 0;
        if (queue_len(ctx, q, count, reply.error()))
            reply.push_integer(static_cast<lua_Integer>(count));
    });
}

int lq_drain_all(lua_State* L)
{
    // The destination is an array of 8-byte little-endian addresses.
    static_assert(std::endian::native == std::endian::little && sizeof(void*) == 8);
    constexpr std::uint64_t kMaxItems = (std::uint64_t{1} << 61) - 1;  // max * 8 fits 64 bits

    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    void* dest = check_pointer_arg(L, 2, msg::kPointerExpected);
    std::uint64_t max = check_nonnegative_arg(L, 3, "max");
    if (max > kMaxItems)
        luaL_argerror(L, 3, msg::kMaxTooLarge);
    const std::uint64_t limit = max;

    return respond(L, kQueue, [&](Reply& reply) {
        QueueUse use;
        if (!use.acquire(ctx, q, reply.error()))
            return;
        std::uint64_t count = 0;
        if (limit == 0) {
            reply.push_integer(0);  // the destination is not even looked up
            return;
        }
        BlockAccess access;
        if (!access.acquire(ctx, dest, 0, limit * 8, reply.error()))
            return;
        // Taken items are handed over to the registry in batches.
        void* batch[64];
        std::size_t batched = 0;
        void* item = nullptr;
        while (count < limit && use.queue().try_take(item)) {
            auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(item));
            std::memcpy(access.bytes() + count * 8, &address, 8);
            ++count;
            batch[batched++] = item;
            if (batched == 64) {
                hand_over(ctx, use.queue(), batch, batched);
                batched = 0;
            }
        }
        hand_over(ctx, use.queue(), batch, batched);
        reply.push_integer(static_cast<lua_Integer>(count));
    });
}

int lq_push(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, msg::kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    std::size_t len = 0;
    const char* data = luaL_checklstring(L, 2, &len);
    return respond(L, kQueue, [&](Reply& reply) { queue_push(ctx, q, data, len, reply.error()); });
}

namespace {

// pop and wait_pop: the string, or nil when none came.  Short strings are
// copied out of the block and made once the call holds nothing; longer ones
// are pushed from the block itself, in protected mode, while the access
// still holds it (a Lua error while the string is made is raised as it is,
// once the block is freed).
int pop(lua_State* L, void* q, HazardContext* ctx, const TimeLimit& limit)
{
    return respond(L, kQueue, [&](Reply& reply) {
        auto sink = [&](const unsigned char* bytes, std::size_t n) { reply.push_copy(bytes, n); };
        if (queue_pop(ctx, q, limit, sink, reply.error()) == Taken::empty)
            reply.push_nil();
    });
}

}  // namespace

int lq_pop(lua_State* L) { return at_once<pop>(L); }

int lq_wait_pop(lua_State* L) { return waiting<pop>(L); }

}  // namespace luamods::memory
