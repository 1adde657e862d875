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
    return 1;
}
