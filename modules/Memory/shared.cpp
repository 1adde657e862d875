// Shared blocks: zero-filled blocks with a reference count instead of an
// owner.  They go with their last `release` (deferred while an access is
// open) and are left alone by the host's clean-up.

#include <cstdint>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/messages.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

int l_shared(lua_State* L)
{
    std::uint64_t size = check_size_arg(L, 1);
    return respond(L, kMemory, [&](Reply& reply) {
        reply.push_pointer(register_block(size, true, reply.error(), state_context(L)));
    });
}

int l_retain(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return respond(L, kMemory, [&](Reply& reply) {
        std::int32_t count = 0;
        switch (block_registry().retain(p, count)) {
        case Change::unknown: reply.raise(msg::kRetainUnknown, p); break;
        case Change::not_shared: reply.raise(msg::kNotShared, p); break;
        case Change::over_released: reply.raise(msg::kAlreadyReleased, p); break;
        case Change::too_many: reply.raise(msg::kTooManyReferences, p); break;
        default: reply.push_integer(count); break;
        }
    });
}

int l_release(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return respond(L, kMemory, [&](Reply& reply) {
        std::int32_t count = 0;
        switch (block_registry().release(p, count)) {
        case Change::unknown: reply.raise(msg::kReleaseUnknown, p); break;
        case Change::not_shared: reply.raise(msg::kNotShared, p); break;
        case Change::over_released: reply.raise(msg::kOverReleased, p); break;
        default: reply.push_integer(count); break;
        }
    });
}

namespace {
// Replies with `fn(reply, record)` of a live block, or raises "unknown or freed".
template <class Fn>
int with_record(lua_State* L, void* p, Fn&& fn)
{
    HazardContext* ctx = state_context(L);
    return respond(L, kMemory, [&](Reply& reply) {
        BlockAccess access;
        Message ignored;
        if (access.acquire(ctx, p, 0, kNoRangeCheck, ignored))
            fn(reply, access.record());
        else
            reply.raise(msg::kUnknown, p);
    });
}
}  // namespace

int l_refcount(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return with_record(L, p, [](Reply& reply, const BlockRecord& r) {
        reply.push_integer(r.shared.load(std::memory_order_relaxed)
                               ? r.ref_count.load(std::memory_order_relaxed)
                               : 1);
    });
}

int l_is_shared(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return with_record(L, p, [](Reply& reply, const BlockRecord& r) {
        reply.push_boolean(r.shared.load(std::memory_order_relaxed));
    });
}

}  // namespace luamods::memory
