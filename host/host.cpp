// The test and benchmark host: embeds LuaJIT the way an application would and
// runs one Lua script.  It gives scripts what the modules expect from a real
// host (a HostEnv record under the registry field "_env" whose fifth slot
// registers clean-up callbacks) and what tests need on top: Lua states on new
// threads, the registered callbacks on demand, a clock and an empty C function.
//
//   luamods_host script.lua [args...]
//
// Globals of every state it opens:
//   host.start(code | {code=, file=, env=true}, ...) -> thread
//       runs the chunk in a new Lua state on a new thread with the arguments
//       (nil, booleans, numbers, strings, light userdata); env=false opens the
//       state without "_env".
//   host.join(thread) -> true, results...  |  false, error text
//   host.run(code | {...}, ...) -> like start + join, on a new thread
//   host.cleanup() -> number of callbacks run;  host.callbacks() -> registered
//   host.clock() -> seconds (monotonic);  host.sleep(seconds)
//   host.empty(...) -> nothing (the baseline of the benchmarks)
//   host.platform -> "windows" | "linux";  host.cores -> hardware threads

#include <lua.hpp>

#include "common/host_env.hpp"
#include "common/values.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// HostEnv (common/host_env.hpp): the record the modules find through "_env".

using CleanupFn = luamods::CleanupCallback;
using luamods::HostEnv;

std::mutex g_cleanup_mutex;
std::vector<CleanupFn> g_cleanups;

int register_cleanup(CleanupFn fn) noexcept
{
    try {
        std::lock_guard lock(g_cleanup_mutex);
        g_cleanups.push_back(fn);
        return 0;
    } catch (...) {
        return -1;
    }
}

HostEnv g_env = {{nullptr, nullptr, nullptr, nullptr}, &register_cleanup};

int run_cleanups() noexcept
{
    std::vector<CleanupFn> fns;
    try {
        std::lock_guard lock(g_cleanup_mutex);
        fns = g_cleanups;
    } catch (...) {
        return -1;
    }
    for (CleanupFn fn : fns)
        fn();
    return static_cast<int>(fns.size());
}

// ---------------------------------------------------------------------------
// Opening a state.

int l_host_start(lua_State* L);
void register_thread_meta(lua_State* L);
int l_host_join(lua_State* L);
int l_host_run(lua_State* L);

int l_host_cleanup(lua_State* L)
{
    lua_pushinteger(L, run_cleanups());
    return 1;
}

int l_host_callbacks(lua_State* L)
{
    size_t n = 0;
    {
        std::lock_guard lock(g_cleanup_mutex);
        n = g_cleanups.size();
    }
    lua_pushinteger(L, static_cast<lua_Integer>(n));
    return 1;
}

int l_host_clock(lua_State* L)
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    lua_pushnumber(L, std::chrono::duration<double>(now).count());
    return 1;
}

int l_host_sleep(lua_State* L)
{
    double s = luaL_checknumber(L, 1);
    if (s > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(s));
    return 0;
}

int l_host_empty(lua_State*) { return 0; }

void open_host_table(lua_State* L)
{
    static const luaL_Reg fns[] = {
        {"start", l_host_start},     {"join", l_host_join},           {"run", l_host_run},
        {"cleanup", l_host_cleanup}, {"callbacks", l_host_callbacks}, {"clock", l_host_clock},
        {"sleep", l_host_sleep},     {"empty", l_host_empty},         {nullptr, nullptr},
    };
    lua_newtable(L);
    luaL_register(L, nullptr, fns);
#ifdef _WIN32
    lua_pushliteral(L, "windows");
#else
    lua_pushliteral(L, "linux");
#endif
    lua_setfield(L, -2, "platform");
    lua_pushinteger(L, static_cast<lua_Integer>(std::thread::hardware_concurrency()));
    lua_setfield(L, -2, "cores");
    lua_setglobal(L, "host");
}

// A new state with the standard libraries, the host table and, unless
// with_env is false, the "_env" userdata whose first 8 bytes hold &g_env.
lua_State* open_state(bool with_env)
{
    lua_State* L = luaL_newstate();
    if (!L)
        return nullptr;
    luaL_openlibs(L);
    open_host_table(L);
    register_thread_meta(L);
    if (with_env) {
        auto* slot = static_cast<HostEnv**>(lua_newuserdata(L, sizeof(HostEnv*)));
        *slot = &g_env;
        lua_setfield(L, LUA_REGISTRYINDEX, "_env");
    }
    return L;
}

int traceback(lua_State* L)
{
    const char* msg = lua_tostring(L, 1);
    if (!msg)
        return 1;  // keep non-string error values as they are
    luaL_traceback(L, L, msg, 1);
    return 1;
}

// Runs the loaded chunk on top of L with nargs arguments above it; on failure
// the error text (with traceback) is left on the stack.
int call_with_traceback(lua_State* L, int nargs)
{
    int base = lua_gettop(L) - nargs;
    lua_pushcfunction(L, traceback);
    lua_insert(L, base);
    int rc = lua_pcall(L, nargs, LUA_MULTRET, base);
    lua_remove(L, base);
    return rc;
}

bool read_file(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

// ---------------------------------------------------------------------------
// Threads.

struct Job {
    std::string code;
    std::string chunkname;
    bool with_env = true;
    luamods::Values args;
    // Filled by the thread:
    bool ok = false;
    luamods::Values results;
    std::string error;
    std::thread thread;
    bool joined = false;
};

// Under lua_pcall with the job and the chunk's results as arguments: keeps
// the results in the job, or the error of one that cannot cross (in the
// threads module's words).  Raises only once no C++ object is alive here.
int keep_results(lua_State* L)
{
    Job* job = static_cast<Job*>(lua_touserdata(L, 1));
    luaL_checkstack(L, luamods::kCopyStackSlots, "host: not enough stack");
    luamods::Refusal refusal;
    bool copied = false, failed = false;
    try {
        copied = luamods::copy_values(L, 2, lua_gettop(L), job->results, refusal);
    } catch (...) {
        failed = true;
    }
    if (failed)
        return luaL_error(L, "host: not enough memory to keep the results");
    if (copied && !job->results.cdata.empty())
        copied = luamods::resolve_cdata(L, 2, job->results, refusal);
    if (copied) {
        job->ok = true;
        return 0;
    }
    if (refusal.in_table()) {
        lua_pushfstring(L, "host: result %d", refusal.slot - 1);
        luamods::push_refusal(L, refusal);
        lua_concat(L, 2);
    } else {
        lua_pushfstring(L, "host: result %d is a %s; a thread returns only %s", refusal.slot - 1,
                        lua_typename(L, refusal.type), luamods::kCrossingTypes);
    }
    return lua_error(L);
}

void run_job(Job* job) noexcept
{
    try {
        lua_State* L = open_state(job->with_env);
        if (!L) {
            job->error = "cannot open a Lua state";
            return;
        }
        int top0 = lua_gettop(L);
        if (luaL_loadbuffer(L, job->code.data(), job->code.size(), job->chunkname.c_str()) != 0) {
            job->error = lua_tostring(L, -1) ? lua_tostring(L, -1) : "load error";
        } else if (!lua_checkstack(L,
                                   static_cast<int>(job->args.size()) + luamods::kCopyStackSlots)) {
            job->error = "too many arguments";
        } else {
            luamods::push_values(L, job->args);
            if (call_with_traceback(L, static_cast<int>(job->args.size())) != 0) {
                const char* e = lua_tostring(L, -1);
                job->error = e ? e : "(error object is not a string)";
            } else {
                lua_pushcfunction(L, keep_results);
                lua_insert(L, top0 + 1);
                lua_pushlightuserdata(L, job);
                lua_insert(L, top0 + 2);
                if (lua_pcall(L, lua_gettop(L) - top0 - 1, 0, 0) != 0) {
                    job->ok = false;
                    job->results.clear();
                    const char* e = lua_tostring(L, -1);
                    job->error = e ? e : "host: cannot keep the results";
                }
            }
        }
        lua_close(L);
    } catch (const std::exception& e) {
        job->ok = false;
        job->error = e.what();
    }
}

const char* const kThreadMeta = "luamods.host.thread";

struct ThreadBox {
    Job* job;
};

int thread_gc(lua_State* L)
{
    auto* box = static_cast<ThreadBox*>(luaL_checkudata(L, 1, kThreadMeta));
    if (box->job) {
        if (!box->job->joined && box->job->thread.joinable())
            box->job->thread.join();
        delete box->job;
        box->job = nullptr;
    }
    return 0;
}

// Parses the chunk argument of start/run into plain values; raises on misuse
// before any C++ object exists.
struct ChunkSource {
    const char* code = nullptr;
    size_t code_len = 0;
    const char* file = nullptr;
    bool with_env = true;
};

ChunkSource read_chunk_source(lua_State* L)
{
    ChunkSource chunk;
    if (lua_type(L, 1) == LUA_TSTRING) {
        chunk.code = lua_tolstring(L, 1, &chunk.code_len);
        return chunk;
    }
    luaL_checktype(L, 1, LUA_TTABLE);
    lua_getfield(L, 1, "code");
    lua_getfield(L, 1, "file");
    lua_getfield(L, 1, "env");
    if (lua_type(L, -3) == LUA_TSTRING)
        chunk.code = lua_tolstring(L, -3, &chunk.code_len);
    if (lua_type(L, -2) == LUA_TSTRING)
        chunk.file = lua_tostring(L, -2);
    if (!lua_isnil(L, -1))
        chunk.with_env = lua_toboolean(L, -1) != 0;
    lua_pop(L, 3);  // the strings stay alive in the table at index 1
    if (!chunk.code && !chunk.file)
        luaL_argerror(L, 1, "code or file expected");
    return chunk;
}

int l_host_start(lua_State* L)
{
    ChunkSource chunk = read_chunk_source(L);
    const int nargs = lua_gettop(L);
    for (int i = 2; i <= nargs; ++i) {
        if (lua_type(L, i) == 10 ? !luamods::is_pointer_cdata(L, i) : !luamods::can_cross(L, i))
            luaL_argerror(L, i, "nil, boolean, number, string, light userdata or table expected");
    }
    luaL_checkstack(L, luamods::kCopyStackSlots, "host.start: not enough stack");
    auto* box = static_cast<ThreadBox*>(lua_newuserdata(L, sizeof(ThreadBox)));
    box->job = nullptr;
    luaL_getmetatable(L, kThreadMeta);
    lua_setmetatable(L, -2);

    // The job and the copies of the arguments belong to the thread object
    // before anything can raise, and the thread starts once they all crossed.
    const char* failure = nullptr;
    luamods::Refusal refusal;
    try {
        auto job = std::make_unique<Job>();
        job->with_env = chunk.with_env;
        if (chunk.file) {
            job->chunkname = std::string("@") + chunk.file;
            if (!read_file(chunk.file, job->code))
                failure = "cannot read the thread's script file";
        } else {
            job->chunkname = "=thread";
            job->code.assign(chunk.code, chunk.code_len);
        }
        if (!failure)
            luamods::copy_values(L, 2, nargs, job->args, refusal);
        box->job = job.release();
    } catch (...) {
        failure = "cannot start a thread";
    }
    if (failure)
        return luaL_error(L, "host.start: %s", failure);
    if (!refusal.slot && !box->job->args.cdata.empty())
        luamods::resolve_cdata(L, 2, box->job->args, refusal);
    if (refusal.slot) {
        lua_pushfstring(L, "host.start: argument %d", refusal.slot);
        luamods::push_refusal(L, refusal);
        lua_concat(L, 2);
        return lua_error(L);
    }
    try {
        box->job->thread = std::thread(run_job, box->job);
    } catch (...) {
        failure = "cannot start a thread";
    }
    if (failure)
        return luaL_error(L, "host.start: %s", failure);
    lua_settop(L, nargs + 1);
    return 1;
}

int l_host_join(lua_State* L)
{
    auto* box = static_cast<ThreadBox*>(luaL_checkudata(L, 1, kThreadMeta));
    Job* job = box->job;
    if (!job || job->joined)
        return luaL_error(L, "host.join: thread already joined");
    job->thread.join();
    job->joined = true;
    if (!job->ok) {
        lua_pushboolean(L, 0);
        lua_pushlstring(L, job->error.data(), job->error.size());
        return 2;
    }
    int n = static_cast<int>(job->results.size());
    luaL_checkstack(L, n + 5, "too many results");
    lua_pushboolean(L, 1);
    luamods::push_values(L, job->results);
    return n + 1;
}

int l_host_run(lua_State* L)
{
    int n = lua_gettop(L);
    lua_pushcfunction(L, l_host_start);
    lua_insert(L, 1);
    lua_call(L, n, 1);
    lua_pushcfunction(L, l_host_join);
    lua_insert(L, 1);
    lua_call(L, 1, LUA_MULTRET);
    return lua_gettop(L);
}

void register_thread_meta(lua_State* L)
{
    luaL_newmetatable(L, kThreadMeta);
    lua_pushcfunction(L, thread_gc);
    lua_setfield(L, -2, "__gc");
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, l_host_join);
    lua_setfield(L, -2, "join");
    lua_pop(L, 1);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s script.lua [args...]\n", argv[0]);
        return 2;
    }
    lua_State* L = open_state(true);
    if (!L) {
        std::fprintf(stderr, "cannot open a Lua state\n");
        return 1;
    }
    // arg table as the standalone interpreter builds it.
    lua_createtable(L, argc, 0);
    for (int i = 0; i < argc; ++i) {
        lua_pushstring(L, argv[i]);
        lua_rawseti(L, -2, i - 1);
    }
    lua_setglobal(L, "arg");

    int rc = luaL_loadfile(L, argv[1]);
    if (rc == 0) {
        for (int i = 2; i < argc; ++i)
            lua_pushstring(L, argv[i]);
        rc = call_with_traceback(L, argc - 2);
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
