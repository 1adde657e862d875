// luaopen_threads: the module table.  Opening it pins the library, and gives
// a state that has no host record (plain luajit) this library's, so that
// modules opened there register their clean-up callbacks with it.

#include "Threads/functions.hpp"
#include "Threads/host_env.hpp"
#include "Threads/job.hpp"
#include "Threads/messages.hpp"
#include "common/pin.hpp"
#include "luamods_export.hpp"

namespace luamods::threads {

const Runner kRunner = {"threads", "threads.thread", nullptr};

}  // namespace luamods::threads

LUAMODS_EXPORT int luaopen_threads(lua_State* L)
{
    using namespace luamods::threads;
    if (!luamods::pin_library_of(reinterpret_cast<const void*>(&luaopen_threads)))
        return luaL_error(L, msg::kCannotPin);
    if (!luamods::host_env_of(L))
        install_record(L, own_record());

    static const luaL_Reg functions[] = {
        {"start", l_start},   {"join", l_join},       {"done", l_done},
        {"status", l_status}, {"cleanup", l_cleanup}, {"sleep", l_sleep},
        {"clock", l_clock},   {"cores", l_cores},     {nullptr, nullptr},
    };
    lua_newtable(L);
    luaL_register(L, nullptr, functions);
    return 1;
}
