// luaopen_memory: the module table, and the host hook that hands the host
// this library's clean-up callback.

#include "Memory/functions.hpp"
#include "Memory/host_hook.hpp"
#include "Memory/registry.hpp"
#include "luamods_export.hpp"

namespace luamods::memory {
namespace {

int cleanup_callback()
{
    return memory_cleanup();
}

HostHook g_host_hook(&cleanup_callback);

void set_function(lua_State* L, const char* name, lua_CFunction fn)
{
    lua_pushcfunction(L, fn);
    lua_setfield(L, -2, name);
}

}  // namespace
}  // namespace luamods::memory

LUAMODS_EXPORT int luaopen_memory(lua_State* L)
{
    using namespace luamods::memory;
    g_host_hook.register_once(L);
    block_registry();  // exists before any state can reach it
    lua_newtable(L);
    // alloc and malloc are one function value.
    lua_pushcfunction(L, l_alloc);
    lua_pushvalue(L, -1);
    lua_setfield(L, -3, "alloc");
    lua_setfield(L, -2, "malloc");
    set_function(L, "free", l_free);
    set_function(L, "realloc", l_realloc);
    set_function(L, "count_allocations", l_count_allocations);
    set_function(L, "write", l_write);
    set_function(L, "read", l_read);
    set_function(L, "fill", l_fill);
    set_function(L, "size", l_size);
    set_function(L, "get_i32", l_get_i32);
    set_function(L, "set_i32", l_set_i32);
    set_function(L, "get_f64", l_get_f64);
    set_function(L, "set_f64", l_set_f64);
    set_function(L, "atomic_i32", l_atomic_i32);
    set_function(L, "atomic_set_i32", l_atomic_set_i32);
    set_function(L, "atomic_add_i32", l_atomic_add_i32);
    set_function(L, "cas_i32", l_cas_i32);
    set_function(L, "seq_write", l_seq_write);
    set_function(L, "seq_read", l_seq_read);
    set_function(L, "shared", l_shared);
    set_function(L, "retain", l_retain);
    set_function(L, "release", l_release);
    set_function(L, "refcount", l_refcount);
    set_function(L, "is_shared", l_is_shared);
    return 1;
}
