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

HostHook g_host_hook(&memory_cleanup);

}  // namespace
}  // namespace luamods::memory

LUAMODS_EXPORT int luaopen_memory(lua_State* L)
{
    using namespace luamods::memory;
    static const luaL_Reg functions[] = {
        {"alloc", l_alloc},
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
    push_context_functions(L, functions);
    // alloc and malloc are one function value.
    lua_getfield(L, -1, "alloc");
    lua_setfield(L, -2, "malloc");
    return 1;
}
