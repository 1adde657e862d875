// luaopen_threads: the module table.  Opening it pins the library, and gives
// a state that has no host record (plain luajit) this library's, so that
// modules opened there register their clean-up callbacks with it.

#include <chrono>
#include <thread>

#include "Threads/host_env.hpp"
#include "Threads/thread_object.hpp"
#include "common/pin.hpp"
#include "luamods_export.hpp"

namespace luamods::threads {
namespace {

int l_cleanup(lua_State* L)
{
    lua_pushinteger(L, run_cleanups());
    return 1;
}

int l_sleep(lua_State* L)
{
    constexpr double kMaxSeconds = 1e7;  // far below what the clock's duration holds
    double seconds = luaL_checknumber(L, 1);
    if (!(seconds >= 0 && seconds <= kMaxSeconds))
        return luaL_argerror(L, 1, "seconds must be between 0 and 1e7");
    try {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    } catch (...) {
        // A sleep cut short is still a sleep: nothing to report.
    }
    return 0;
}

int l_clock(lua_State* L)
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    lua_pushnumber(L, std::chrono::duration<double>(now).count());
    return 1;
}

int l_cores(lua_State* L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(std::thread::hardware_concurrency()));
    return 1;
}

}  // namespace
}  // namespace luamods::threads

LUAMODS_EXPORT int luaopen_threads(lua_State* L)
{
    using namespace luamods::threads;
    if (!luamods::pin_library_of(reinterpret_cast<const void*>(&luaopen_threads)))
        return luaL_error(L, "threads: cannot keep the library loaded for the life of the process");
    lua_getfield(L, LUA_REGISTRYINDEX, "_env");
    bool has_record = !lua_isnil(L, -1);
    lua_pop(L, 1);
    if (!has_record)
        install_record(L, own_record());
    register_thread_metatable(L);

    static const luaL_Reg functions[] = {
        {"start", l_start},   {"join", l_join},       {"done", l_done},
        {"status", l_status}, {"cleanup", l_cleanup}, {"sleep", l_sleep},
        {"clock", l_clock},   {"cores", l_cores},     {nullptr, nullptr},
    };
    lua_newtable(L);
    luaL_register(L, nullptr, functions);
    return 1;
}
