// Shared blocks: zero-filled blocks with a reference count instead of an
// owner.  They go with their last `release` (deferred while an access is
// open) and are left alone by the host's clean-up.

#include <cstdint>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

int l_shared(lua_State* L)
{
    std::uint64_t size = check_size_arg(L, 1);
    void* p = nullptr;
    run_then_raise(L, [&](ErrorText& err) { p = register_block(size, true, err); });
    lua_pushlightuserdata(L, p);
    return 1;
}

int l_retain(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::int32_t count = 0;
    run_then_raise(L, [&](ErrorText& err) {
        switch (block_registry().retain(p, count)) {
        case BlockRegistry::Retire::unknown:
            err.set("memory: cannot retain an unknown or freed pointer (%p)", p);
            break;
        case BlockRegistry::Retire::not_shared:
            err.set("memory: this is not a shared block (%p)", p);
            break;
        case BlockRegistry::Retire::over_released:
            err.set("memory: this shared block is already released (%p)", p);
            break;
        case BlockRegistry::Retire::too_many:
            err.set("memory: too many references to this shared block (%p)", p);
            break;
        default:
            break;
        }
    });
    lua_pushinteger(L, count);
    return 1;
}

int l_release(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::int32_t count = 0;
    run_then_raise(L, [&](ErrorText& err) {
        switch (block_registry().release(p, count)) {
        case BlockRegistry::Retire::unknown:
            err.set("memory: cannot release an unknown or freed pointer (%p)", p);
            break;
        case BlockRegistry::Retire::not_shared:
            err.set("memory: this is not a shared block (%p)", p);
            break;
        case BlockRegistry::Retire::over_released:
            err.set("memory: this block was released more often than it was retained (%p)", p);
            break;
        default:
            break;
        }
    });
    lua_pushinteger(L, count);
    return 1;
}

namespace {
// Reads a live block's record: `fn(record)`, or "unknown or freed".
template <class Fn>
void with_record(lua_State* L, void* p, Fn&& fn)
{
    HazardContext* ctx = state_context(L);
    run_then_raise(L, [&](ErrorText& err) {
        BlockAccess access;
        ErrorText ignored;
        if (access.acquire(ctx, p, 0, kNoRangeCheck, ignored))
            fn(access.record());
        else
            err.set("memory: unknown or freed pointer (%p)", p);
    });
}
}  // namespace

int l_refcount(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::int32_t count = 0;
    with_record(L, p, [&](const BlockRecord& r) {
        count = r.shared.load(std::memory_order_relaxed) ? r.ref_count.load(std::memory_order_relaxed) : 1;
    });
    lua_pushinteger(L, count);
    return 1;
}

int l_is_shared(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    bool shared = false;
    with_record(L, p, [&](const BlockRecord& r) { shared = r.shared.load(std::memory_order_relaxed); });
    lua_pushboolean(L, shared);
    return 1;
}

}  // namespace luamods::memory
