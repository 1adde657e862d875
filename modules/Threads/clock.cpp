#include <chrono>
#include <thread>

#include "Threads/functions.hpp"
#include "Threads/messages.hpp"

namespace luamods::threads {

int l_sleep(lua_State* L)
{
    constexpr double kMaxSeconds = 1e7;  // far below what the clock's duration holds
    double seconds = luaL_checknumber(L, 1);
    if (!(seconds >= 0 && seconds <= kMaxSeconds))
        return luaL_argerror(L, 1, msg::kSeconds);
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

}  // namespace luamods::threads
