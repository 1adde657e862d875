// The test and benchmark host: embeds LuaJIT the way an application would and
// runs one Lua script.  It owns the HostEnv record that the modules find
// through "_env" (common/host_env.hpp), and gives scripts what tests need on
// top: Lua states on new threads (the threads module's runner, compiled in),
// the registered callbacks on demand, a clock and an empty C function.
//
//   luamods_host script.lua [args...]
//
// Globals of every state it opens:
//   host.start(code | {code=, file=, name=, env=true}, ...) -> thread
//       threads.start under the host's name; env=false opens the state
//       without "_env".
//   host.join(thread [, ms]) -> true, results...  |  false, error text
//   host.run(code | {...}, ...) -> like start + join, on a new thread
//   host.cleanup() -> number of callbacks run;  host.callbacks() -> registered
//   host.clock() -> seconds (monotonic);  host.sleep(seconds)
//   host.empty(...) -> nothing (the baseline of the benchmarks)
//   host.platform -> "windows" | "linux";  host.cores -> hardware threads

#include <lua.hpp>

#include <cstdio>

#include "Threads/functions.hpp"
#include "Threads/host_env.hpp"
#include "Threads/job.hpp"

namespace {

namespace threads = luamods::threads;

int l_host_start(lua_State* L)
{
    bool with_env = true;
    if (lua_type(L, 1) == LUA_TTABLE) {
        lua_getfield(L, 1, "env");
        with_env = lua_isnil(L, -1) || lua_toboolean(L, -1);
        lua_pop(L, 1);
    }
    return threads::start_thread(L, with_env);
}

int l_host_run(lua_State* L)
{
    int n = lua_gettop(L);
    lua_pushcfunction(L, l_host_start);
    lua_insert(L, 1);
    lua_call(L, n, 1);
    lua_pushcfunction(L, threads::l_join);
    lua_insert(L, 1);
    lua_call(L, 1, LUA_MULTRET);
    return lua_gettop(L);
}

int l_host_callbacks(lua_State* L)
{
    lua_pushinteger(L, threads::registered_cleanups());
    return 1;
}

int l_host_empty(lua_State*) { return 0; }

void open_host_table(lua_State* L)
{
    static const luaL_Reg fns[] = {
        {"start", l_host_start},
        {"join", threads::l_join},
        {"run", l_host_run},
        {"cleanup", threads::l_cleanup},
        {"callbacks", l_host_callbacks},
        {"clock", threads::l_clock},
        {"sleep", threads::l_sleep},
        {"empty", l_host_empty},
        {nullptr, nullptr},
    };
    lua_newtable(L);
    luaL_register(L, nullptr, fns);
#ifdef _WIN32
    lua_pushliteral(L, "windows");
#else
    lua_pushliteral(L, "linux");
#endif
    lua_setfield(L, -2, "platform");
    threads::l_cores(L);
    lua_setfield(L, -2, "cores");
    lua_setglobal(L, "host");
}

int traceback(lua_State* L)
{
    const char* msg = lua_tostring(L, 1);
    if (!msg)
        return 1;  // keep non-string error values as they are
    luaL_traceback(L, L, msg, 1);
    return 1;
}

}  // namespace

// Threads started by scripts are the host's: their messages say "host", and
// their states get the host table too.
const threads::Runner threads::kRunner = {"host", "host.thread", open_host_table};

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s script.lua [args...]\n", argv[0]);
        return 2;
    }
    lua_State* L = luaL_newstate();
    if (!L) {
        std::fprintf(stderr, "cannot open a Lua state\n");
        return 1;
    }
    luaL_openlibs(L);
    threads::install_record(L, threads::own_record());
    open_host_table(L);
    // arg table as the standalone interpreter builds it.
    lua_createtable(L, argc, 0);
    for (int i = 0; i < argc; ++i) {
        lua_pushstring(L, argv[i]);
        lua_rawseti(L, -2, i - 1);
    }
    lua_setglobal(L, "arg");

    lua_pushcfunction(L, traceback);
    int rc = luaL_loadfile(L, argv[1]);
    if (rc == 0) {
        for (int i = 2; i < argc; ++i)
            lua_pushstring(L, argv[i]);
        rc = lua_pcall(L, argc - 2, 0, 1);
    }
    if (rc != 0) {
        const char* msg = lua_tostring(L, -1);
        std::fprintf(stderr, "%s\n", msg ? msg : "(error object is not a string)");
        std::fflush(stderr);
        lua_close(L);
        return 1;
    }
    lua_close(L);
    std::fflush(stdout);
    return 0;
}
