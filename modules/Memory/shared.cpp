// Shared blocks: zero-filled blocks with a reference count instead of an
// owner.  They go with their last `release` (deferred while an access is
// open) and are left alone by the host's clean-up.

#include <cstdint>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/registry.hpp"

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
        auto locked = block_registry().lock();
        BlockRecord* rec = locked.find_live(p);
        if (!rec)
            err.set("memory: cannot retain an unknown or freed pointer (%p)", p);
        else if (!rec->shared)
            err.set("memory: this is not a shared block (%p)", p);
        else if (rec->ref_count < 1)
            err.set("memory: this shared block is already released (%p)", p);
        else if (rec->ref_count == INT32_MAX)
            // The count is 32-bit: one more would wrap it negative and make
            // a held block look released.
            err.set("memory: too many references to this shared block (%p)", p);
        else
            count = ++rec->ref_count;
    });
    lua_pushinteger(L, count);
    return 1;
}

int l_release(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::int32_t count = 0;
    run_then_raise(L, [&](ErrorText& err) {
        auto locked = block_registry().lock();
        BlockRecord* rec = locked.find_live(p);
        if (!rec) {
            err.set("memory: cannot release an unknown or freed pointer (%p)", p);
        } else if (!rec->shared) {
            err.set("memory: this is not a shared block (%p)", p);
        } else if (rec->ref_count < 1) {
            err.set("memory: this block was released more often than it was retained (%p)", p);
        } else {
            count = --rec->ref_count;
            // The last reference: gone for every caller from now on; the
            // memory follows now or with the last open access.
            if (count == 0)
                locked.retire(p, *rec);
        }
    });
    lua_pushinteger(L, count);
    return 1;
}

int l_refcount(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    std::int32_t count = 0;
    run_then_raise(L, [&](ErrorText& err) {
        auto locked = block_registry().lock();
        if (BlockRecord* rec = locked.find_live(p))
            count = rec->shared ? rec->ref_count : 1;
        else
            err.set("memory: unknown or freed pointer (%p)", p);
    });
    lua_pushinteger(L, count);
    return 1;
}

int l_is_shared(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, kBlockPointerExpected);
    bool shared = false;
    run_then_raise(L, [&](ErrorText& err) {
        auto locked = block_registry().lock();
        if (BlockRecord* rec = locked.find_live(p))
            shared = rec->shared;
        else
            err.set("memory: unknown or freed pointer (%p)", p);
    });
    lua_pushboolean(L, shared);
    return 1;
}

}  // namespace luamods::memory
