// Shared blocks: zero-filled blocks with a reference count instead of an
// owner.  They go with their last `release` (deferred while an access is
// open) and are left alone by the host's clean-up.  `shared`, which makes
// them, is in blocks.cpp beside `alloc`.

#include <cstdint>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/messages.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

namespace {

constexpr CountMessages kRetainMessages{msg::kRetainUnknown, msg::kNotShared, msg::kAlreadyReleased,
                                        msg::kTooManyReferences};
constexpr CountMessages kReleaseMessages{msg::kReleaseUnknown, msg::kNotShared, msg::kOverReleased};

}  // namespace

int l_retain(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return respond_count(L, kMemory, p, kRetainMessages,
                         [&](std::int32_t& count) { return block_registry().retain(p, count); });
}

int l_release(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return respond_count(L, kMemory, p, kReleaseMessages,
                         [&](std::int32_t& count) { return block_registry().release(p, count); });
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
