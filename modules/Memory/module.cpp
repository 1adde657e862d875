// luaopen_memory: the module table, and the host hook that hands the host
// this library's clean-up callback.

#include "Memory/functions.hpp"
#include "Memory/hazard.hpp"
#include "Memory/host_hook.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"
#include "common/reply.hpp"
#include "luamods_export.hpp"

namespace luamods::memory {
namespace {

int cleanup_callback() { return memory_cleanup(); }

HostHook g_host_hook(&cleanup_callback);

}  // namespace
}  // namespace luamods::memory

LUAMODS_EXPORT int luaopen_memory(lua_State* L)
{
    using namespace luamods::memory;
    static const luaL_Reg functions[] = {
        {"free", l_free},
        {"realloc", l_realloc},
        {"count_allocations", l_count_allocations},
        {"write", l_write},
        {"read", l_read},
        {"fill", l_fill},
        {"size", l_size},
        {"get_i32", l_get_i32},
        {"set_i32", l_set_i32},
        {"get_f64", l_get_f64},
        {"set_f64", l_set_f64},
        {"atomic_i32", l_atomic_i32},
        {"atomic_set_i32", l_atomic_set_i32},
        {"atomic_add_i32", l_atomic_add_i32},
        {"cas_i32", l_cas_i32},
        {"seq_write", l_seq_write},
        {"seq_read", l_seq_read},
        {"shared", l_shared},
        {"retain", l_retain},
        {"release", l_release},
        {"refcount", l_refcount},
        {"is_shared", l_is_shared},
    };
    Hazards::instance().init();  // before the host can run a clean-up
    g_host_hook.register_once(L);
    luamods::open_boundary(L);
    push_state_context(L);
    const int context = lua_gettop(L);
    lua_newtable(L);
    // alloc and malloc are one function value.
    set_context_function(L, context, "alloc", l_alloc);
    lua_getfield(L, -1, "alloc");
    lua_setfield(L, -2, "malloc");
    for (const luaL_Reg& f : functions)
        set_context_function(L, context, f.name, f.func);
    lua_remove(L, context);
    return 1;
}
