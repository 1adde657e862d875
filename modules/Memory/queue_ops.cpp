// memory.queue: making, deleting and sharing queues, and the item operations.
// Every function reads its arguments, then works inside run_then_raise while it
// holds its QueueUse (and BlockAccess), and raises only after both are gone.

#include <bit>
#include <cstdint>
#include <cstring>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/queue_functions.hpp"
#include "Memory/queue_registry.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

namespace {

constexpr const char* kModule = "memory.queue";

template <class Work>
void queue_call(lua_State* L, Work&& work)
{
    run_then_raise(L, work, kModule);
}

// ---------------------------------------------------------------------------
// A string read straight out of a popped block.  Short strings are copied to
// the stack and pushed once the block is gone; long ones are pushed from the
// block itself, in protected mode (a raise there stops at lua_cpcall and
// unwinds no C++ frame), and parked in the registry until the call returns.

class PoppedString {
public:
    static constexpr std::size_t kInline = 256;

    // Called while the block is held; never raises.  False when Lua could not
    // make a long string (out of memory, or a finalizer raised while it was
    // made): that error object is left on the stack, to be raised once the
    // call holds nothing.
    bool take(lua_State* L, const unsigned char* bytes, std::uint64_t size) noexcept
    {
        size_ = static_cast<std::size_t>(size);
        if (size <= kInline) {
            if (size_ > 0)
                std::memcpy(inline_, bytes, size_);
            return true;
        }
        bytes_ = bytes;
        if (lua_cpcall(L, &PoppedString::park, this) != 0) {
            failed_ = true;
            return false;
        }
        parked_ = true;
        return true;
    }

    // True when Lua failed to make the string; its error is on the stack.
    bool failed() const noexcept { return failed_; }

    // After the call's uses are released: pushes the string.
    void push(lua_State* L)
    {
        if (!parked_) {
            lua_pushlstring(L, inline_, size_);
            return;
        }
        lua_pushlightuserdata(L, slot_key());
        lua_rawget(L, LUA_REGISTRYINDEX);
        drop_parked(L);
    }

    // Forgets a long string that will not be returned.  Clearing the slot it
    // was parked in allocates nothing, so this cannot raise either.
    void discard(lua_State* L) noexcept
    {
        if (parked_)
            drop_parked(L);
    }

private:
    static void* slot_key() noexcept
    {
        static char key;
        return &key;
    }
    static int park(lua_State* L)
    {
        auto* self = static_cast<PoppedString*>(lua_touserdata(L, 1));
        lua_pushlightuserdata(L, slot_key());
        lua_pushlstring(L, reinterpret_cast<const char*>(self->bytes_), self->size_);
        lua_rawset(L, LUA_REGISTRYINDEX);
        return 0;
    }
    static void drop_parked(lua_State* L) noexcept
    {
        lua_pushlightuserdata(L, slot_key());
        lua_pushnil(L);
        lua_rawset(L, LUA_REGISTRYINDEX);
    }

    char inline_[kInline];
    std::size_t size_ = 0;
    const unsigned char* bytes_ = nullptr;
    bool parked_ = false;
    bool failed_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle

int lq_new(lua_State* L)
{
    Queue* q = nullptr;
    queue_call(L, [&](ErrorText& err) {
        if (!(q = queue_registry().create(false)))
            err.set("memory.queue: cannot create a queue");
    });
    lua_pushlightuserdata(L, q);
    return 1;
}

int lq_shared(lua_State* L)
{
    Queue* q = nullptr;
    queue_call(L, [&](ErrorText& err) {
        if (!(q = queue_registry().create(true)))
            err.set("memory.queue: cannot create a queue");
    });
    lua_pushlightuserdata(L, q);
    return 1;
}

int lq_delete(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    queue_call(L, [&](ErrorText& err) {
        switch (queue_registry().remove(q)) {
        case QueueRegistry::Change::unknown:
            err.set("memory.queue: cannot delete an unknown queue (%p)", q);
            break;
        case QueueRegistry::Change::shared:
            err.set("memory.queue: this is a shared queue, release it instead of deleting it (%p)",
                    q);
            break;
        case QueueRegistry::Change::busy:
            err.set("memory.queue: this queue is in use right now (%p)", q);
            break;
        default:
            break;
        }
    });
    return 0;
}

int lq_retain(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    std::int32_t count = 0;
    queue_call(L, [&](ErrorText& err) {
        switch (queue_registry().retain(q, count)) {
        case QueueRegistry::Change::unknown:
            err.set("memory.queue: cannot retain an unknown queue (%p)", q);
            break;
        case QueueRegistry::Change::not_shared:
            err.set("memory.queue: this is not a shared queue (%p)", q);
            break;
        case QueueRegistry::Change::over_released:
            err.set("memory.queue: this shared queue is already released (%p)", q);
            break;
        case QueueRegistry::Change::too_many:
            err.set("memory.queue: too many references to this shared queue (%p)", q);
            break;
        default:
            break;
        }
    });
    lua_pushinteger(L, count);
    return 1;
}

int lq_release(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    std::int32_t count = 0;
    queue_call(L, [&](ErrorText& err) {
        switch (queue_registry().release(q, count)) {
        case QueueRegistry::Change::unknown:
            err.set("memory.queue: cannot release an unknown queue (%p)", q);
            break;
        case QueueRegistry::Change::not_shared:
            err.set("memory.queue: this is not a shared queue (%p)", q);
            break;
        case QueueRegistry::Change::over_released:
            err.set("memory.queue: this queue was released more often than it was retained (%p)",
                    q);
            break;
        default:
            break;
        }
    });
    lua_pushinteger(L, count);
    return 1;
}

int lq_refcount(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    std::int32_t count = 0;
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        ErrorText ignored;
        if (!use.acquire(ctx, q, ignored))
            err.set("memory.queue: unknown queue (%p)", q);
        else if (use.record().shared.load(std::memory_order_relaxed))
            count = use.record().ref_count.load(std::memory_order_relaxed);
        else
            count = 1;
    });
    lua_pushinteger(L, count);
    return 1;
}

// ---------------------------------------------------------------------------
// Items

int lq_enqueue(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    void* item = check_pointer_arg(L, 2, kPointerExpected);
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (use.acquire(ctx, q, err) && !use.queue().put(item))
            err.set("memory.queue: out of memory");
    });
    return 0;
}

int lq_dequeue(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    void* item = nullptr;
    bool taken = false;
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (use.acquire(ctx, q, err))
            taken = use.queue().try_take(item);
        if (taken)
            disown_queue_blocks(ctx, &item, 1);
    });
    if (!taken)
        return 0;
    lua_pushlightuserdata(L, item);
    return 1;
}

int lq_wait_dequeue(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    void* item = nullptr;
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (!use.acquire(ctx, q, err))
            return;
        if (!use.queue().wait_take(item)) {
            // The queue was deleted while we waited.  Our use is released
            // before the raise, so the last waiter out destroys the queue.
            err.set("memory.queue: unknown or deleted queue (%p)", q);
            return;
        }
        disown_queue_blocks(ctx, &item, 1);
    });
    lua_pushlightuserdata(L, item);
    return 1;
}

int lq_len(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    std::int64_t n = 0;
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (use.acquire(ctx, q, err))
            n = use.queue().available();
    });
    lua_pushinteger(L, static_cast<lua_Integer>(n));
    return 1;
}

int lq_drain_all(lua_State* L)
{
    // The destination is an array of 8-byte little-endian addresses.
    static_assert(std::endian::native == std::endian::little && sizeof(void*) == 8);
    constexpr std::uint64_t kMaxItems = (std::uint64_t{1} << 61) - 1;  // max * 8 fits 64 bits

    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    void* dest = check_pointer_arg(L, 2, kPointerExpected);
    std::uint64_t max = check_nonnegative_arg(L, 3, "max");
    if (max > kMaxItems)
        luaL_argerror(L, 3, "max is too large");
    const std::uint64_t limit = max;

    std::uint64_t count = 0;
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (!use.acquire(ctx, q, err))
            return;
        if (limit == 0)
            return;  // the destination is not even looked up
        BlockAccess access;
        if (!access.acquire(ctx, dest, 0, limit * 8, err))
            return;
        // Taken items are handed over in batches, one registry lock each.
        void* batch[64];
        std::size_t batched = 0;
        void* item = nullptr;
        while (count < limit && use.queue().try_take(item)) {
            auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(item));
            std::memcpy(access.bytes() + count * 8, &address, 8);
            ++count;
            batch[batched++] = item;
            if (batched == 64) {
                disown_queue_blocks(ctx, batch, batched);
                batched = 0;
            }
        }
        disown_queue_blocks(ctx, batch, batched);
    });
    lua_pushinteger(L, static_cast<lua_Integer>(count));
    return 1;
}

int lq_push(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    std::size_t len = 0;
    const char* data = luaL_checklstring(L, 2, &len);
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (!use.acquire(ctx, q, err))
            return;
        void* block = register_queue_string(data, len, err);
        if (!block)
            return;
        if (!use.queue().put(block)) {
            // Nobody else knows the block: it goes, and the caller learns
            // that the string was not queued.
            free_plain_block(block);
            err.set("memory.queue: out of memory");
        }
    });
    return 0;
}

int lq_pop(lua_State* L)
{
    void* q = check_pointer_arg(L, 1, kQueuePointerExpected);
    HazardContext* ctx = state_context(L);
    PoppedString popped;
    void* item = nullptr;
    bool taken = false;
    queue_call(L, [&](ErrorText& err) {
        QueueUse use;
        if (!use.acquire(ctx, q, err))
            return;
        if (!(taken = use.queue().try_take(item)))
            return;
        BlockAccess access;
        ErrorText dropped;  // why a read failed does not matter: the message says it
        bool read = access.acquire(ctx, item, 0, kNoRangeCheck, dropped) &&
                    popped.take(L, access.bytes(), access.size());
        // Freed while our access still holds it, so the address cannot have
        // been freed and handed out again between the read and this test.
        bool plain = free_plain_block(item);
        if (popped.failed())
            return;  // Lua's own error is raised below
        if (!(read && plain)) {
            popped.discard(L);
            err.set("memory.queue: pop only reads items queued with push (%p)", item);
        }
    });
    if (popped.failed())
        return lua_error(L);
    if (!taken) {
        lua_pushnil(L);
        return 1;
    }
    popped.push(L);
    return 1;
}

}  // namespace luamods::memory
