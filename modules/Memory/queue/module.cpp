// luaopen_memory_queue: the module table, and the host hook that hands the host
// the queue clean-up callback (separate from the memory module's own).

#include "Memory/hazard.hpp"
#include "Memory/host_hook.hpp"
#include "Memory/queue/functions.hpp"
#include "Memory/queue/registry.hpp"
#include "Memory/state_context.hpp"
#include "common/reply.hpp"
#include "luamods_export.hpp"

namespace luamods::memory {
namespace {

HostHook g_queue_host_hook(&queue_cleanup);

}  // namespace
}  // namespace luamods::memory

LUAMODS_EXPORT int luaopen_memory_queue(lua_State* L)
{
    using namespace luamods::memory;
    static const luaL_Reg functions[] = {
        {"dequeue", lq_dequeue},
        {"wait_dequeue", lq_wait_dequeue},
        {"enqueue", lq_enqueue},
        {"len", lq_len},
        {"new", lq_new},
        {"delete", lq_delete},
        {"drain_all", lq_drain_all},
        {"shared", lq_shared},
        {"retain", lq_retain},
        {"release", lq_release},
        {"refcount", lq_refcount},
        {"push", lq_push},
        {"pop", lq_pop},
        {"wait_pop", lq_wait_pop},
    };
    Hazards::instance().init();  // before the host can run a clean-up
    g_queue_host_hook.register_once(L);
    luamods::open_boundary(L);
    push_context_functions(L, functions);
    return 1;
}
