// The thread object a script holds: a full userdata that owns one running
// (or finished) thread and its outcome until join.
//
// Collected unjoined: the object hands its thread to the Lua state that
// started it, which joins it as soon as it has finished (at a later start)
// or, at the latest, when the state closes.  A collection step never waits
// for a thread (a worker dropped while the script still feeds it must not
// stop the script), and nothing the thread uses (its job, this library, the
// libraries its state loaded, the addresses it was given) can go away while
// it runs: closing a state waits for every thread it started.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "Threads/functions.hpp"
#include "Threads/host_env.hpp"
#include "Threads/job.hpp"
#include "Threads/messages.hpp"
#include "common/args.hpp"

namespace luamods::threads {

namespace {

constexpr int kLuaTypeCdata = 10;  // LuaJIT's type number for cdata
const char kOwnerKey = 0;          // its address keys the state's owner in the registry

struct Thread {
    Job job;
    std::thread os;
    bool joined = false;
};

// Joins (if still needed) and frees a thread.  A join that fails leaves the
// thread allocated: the running thread may still be using its job.
void finish(Thread* t) noexcept
{
    try {
        if (t->os.joinable())
            t->os.join();
        delete t;
    } catch (...) {
    }
}

// The threads that a state's collected thread objects left to it.  Every
// access happens on the thread that runs the state, so it needs no lock.
// Counted references: the owner userdata and every thread object of the
// state hold one, so whichever of them is finalised last frees it, in any
// order lua_close finalises them.
struct Owner {
    int refs = 1;
    bool closing = false;
    std::vector<Thread*> dropped;

    void unref() noexcept
    {
        if (--refs == 0)
            delete this;
    }

    // Joins and frees the dropped threads that have finished: a quick join.
    void reap() noexcept
    {
        std::size_t kept = 0;
        for (Thread* t : dropped) {
            if (t->job.finished.load(std::memory_order_acquire))
                finish(t);
            else
                dropped[kept++] = t;
        }
        dropped.resize(kept);
    }
};

// The thread object's userdata: the thread until join, then its outcome;
// the name given at start follows the structure (name_len bytes and a NUL).
struct Box {
    enum Outcome : unsigned char { pending, done, failed };
    Thread* thread;
    Owner* owner;
    Outcome outcome;
    size_t name_len;  // 0: no name

    const char* name() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

int owner_gc(lua_State* L)
{
    auto* slot = static_cast<Owner**>(lua_touserdata(L, 1));
    if (Owner* owner = *slot) {
        *slot = nullptr;
        owner->closing = true;  // thread objects finalised after this join their own
        for (Thread* t : owner->dropped)
            finish(t);
        owner->dropped.clear();
        owner->unref();
    }
    return 0;
}

// The state's owner, created at its first start; null if `new` failed.
Owner* state_owner(lua_State* L)
{
    lua_pushlightuserdata(L, const_cast<char*>(&kOwnerKey));
    lua_rawget(L, LUA_REGISTRYINDEX);
    auto* slot = static_cast<Owner**>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    if (!slot) {
        slot = static_cast<Owner**>(lua_newuserdata(L, sizeof(Owner*)));
        *slot = nullptr;
        // A metatable of its own, under no name: a host linked with this
        // code may run a second copy of it in the same state.
        lua_createtable(L, 0, 1);
        lua_pushcfunction(L, owner_gc);
        lua_setfield(L, -2, "__gc");
        lua_setmetatable(L, -2);
        lua_pushlightuserdata(L, const_cast<char*>(&kOwnerKey));
        lua_insert(L, -2);
        lua_rawset(L, LUA_REGISTRYINDEX);
    }
    if (!*slot)
        *slot = new (std::nothrow) Owner;
    return *slot;
}

int thread_gc(lua_State* L)
{
    auto* box = static_cast<Box*>(lua_touserdata(L, 1));
    Thread* t = box->thread;
    Owner* owner = box->owner;
    box->thread = nullptr;
    box->owner = nullptr;
    if (t) {
        bool handed = false;
        if (!t->joined && owner && !owner->closing) {
            try {
                owner->reap();
                owner->dropped.push_back(t);
                handed = true;
            } catch (...) {
                // No room to keep it: wait for it here instead.
            }
        }
        if (!handed)
            finish(t);
    }
    if (owner)
        owner->unref();
    return 0;
}

Box* check_box(lua_State* L)
{
    return static_cast<Box*>(luaL_checkudata(L, 1, kRunner.thread_type));
}

// "running" until the thread has ended, then "done" or "failed"; never waits.
const char* status_text(const Box* box) noexcept
{
    Box::Outcome outcome = box->outcome;
    if (const Thread* t = box->thread; t && outcome == Box::pending) {
        if (!t->job.finished.load(std::memory_order_acquire))
            return msg::kRunning;
        outcome = t->job.ok ? Box::done : Box::failed;
    }
    return outcome == Box::done     ? msg::kDone
           : outcome == Box::failed ? msg::kFailed
                                    : msg::kRunning;
}

// threads.thread "worker 3" (running), or threads.thread: 0x... (done)
// for a thread started without a name.
int thread_tostring(lua_State* L)
{
    const Box* box = check_box(L);
    if (box->name_len)
        lua_pushfstring(L, msg::kNamedThread, kRunner.thread_type, box->name(), status_text(box));
    else
        lua_pushfstring(L, msg::kUnnamedThread, kRunner.thread_type, static_cast<const void*>(box),
                        status_text(box));
    return 1;
}

// What start reads from its first argument.
struct Chunk {
    const char* code = nullptr;
    size_t code_len = 0;
    const char* file = nullptr;
    const char* name = nullptr;
    size_t name_len = 0;
};

Chunk read_chunk(lua_State* L)
{
    Chunk chunk;
    if (lua_type(L, 1) == LUA_TSTRING) {
        chunk.code = lua_tolstring(L, 1, &chunk.code_len);
        return chunk;
    }
    if (lua_type(L, 1) != LUA_TTABLE)
        luaL_argerror(L, 1, msg::kChunkExpected);
    lua_getfield(L, 1, "name");
    lua_getfield(L, 1, "code");
    lua_getfield(L, 1, "file");
    // They stay on the stack, so the strings live until start returns.
    if (lua_type(L, -2) == LUA_TSTRING)
        chunk.code = lua_tolstring(L, -2, &chunk.code_len);
    else if (!lua_isnil(L, -2))
        luaL_argerror(L, 1, lua_pushfstring(L, msg::kFieldType, "code"));
    if (lua_type(L, -1) == LUA_TSTRING)
        chunk.file = lua_tostring(L, -1);
    else if (!lua_isnil(L, -1))
        luaL_argerror(L, 1, lua_pushfstring(L, msg::kFieldType, "file"));
    if (lua_type(L, -3) == LUA_TSTRING)
        chunk.name = lua_tolstring(L, -3, &chunk.name_len);
    else if (!lua_isnil(L, -3))
        luaL_argerror(L, 1, lua_pushfstring(L, msg::kFieldType, "name"));
    if (chunk.code && chunk.file)
        luaL_argerror(L, 1, msg::kCodeAndFile);
    if (!chunk.code && !chunk.file)
        luaL_argerror(L, 1, msg::kCodeOrFile);
    if (chunk.file) {
        // Checked here so that a wrong name fails at start, not at join; the
        // new state opens the file again to load it.
        if (std::FILE* f = std::fopen(chunk.file, "rb"))
            std::fclose(f);
        else
            luaL_error(L, msg::kCannotOpen, kRunner.name, chunk.file, std::strerror(errno));
    }
    return chunk;
}

// Pushes t[key] when t (at `index`) is a table, else nil; no metamethod runs.
void push_raw_field(lua_State* L, int index, const char* key)
{
    if (index < 0 && index > LUA_REGISTRYINDEX)
        index = lua_gettop(L) + index + 1;  // absolute, so the pushed key does not move it
    if (lua_type(L, index) == LUA_TTABLE) {
        lua_pushstring(L, key);
        lua_rawget(L, index);
    } else {
        lua_pushnil(L);
    }
}

// package.path or package.cpath of L (as the package library keeps it, in
// the registry's _LOADED), or null when it is not a string; a host may have
// opened no package library at all.  The string stays on the stack.
const char* read_package_field(lua_State* L, const char* name, size_t* len)
{
    push_raw_field(L, LUA_REGISTRYINDEX, "_LOADED");
    push_raw_field(L, -1, "package");
    push_raw_field(L, -1, name);
    lua_replace(L, -3);
    lua_pop(L, 1);
    return lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, len) : nullptr;
}

// Creates the thread object's metatable in L, at its first start.
void register_thread_metatable(lua_State* L)
{
    static const luaL_Reg methods[] = {
        {"join", l_join},
        {"done", l_done},
        {"status", l_status},
        {nullptr, nullptr},
    };
    if (luaL_newmetatable(L, kRunner.thread_type)) {
        lua_pushcfunction(L, thread_gc);
        lua_setfield(L, -2, "__gc");
        lua_newtable(L);
        luaL_register(L, nullptr, methods);
        lua_setfield(L, -2, "__index");
        lua_pushcfunction(L, thread_tostring);
        lua_setfield(L, -2, "__tostring");
    }
    lua_pop(L, 1);
}

}  // namespace

int l_start(lua_State* L) { return start_thread(L, true); }

int start_thread(lua_State* L, bool with_record)
{
    // Arguments first: every check that can raise runs before any C++ object.
    int nargs = lua_gettop(L);
    Chunk chunk = read_chunk(L);
    for (int i = 2; i <= nargs; ++i) {
        // A cdata crosses when it is a pointer (as its address).
        if (lua_type(L, i) == kLuaTypeCdata ? !is_pointer_cdata(L, i) : !can_cross(L, i)) {
            luaL_argerror(
                L, i, lua_pushfstring(L, msg::kCannotCross, kCrossingTypes, luaL_typename(L, i)));
        }
    }
    // Tables are walked with the stack: room now, while raising is safe.
    if (!lua_checkstack(L, kCopyStackSlots))
        return luaL_error(L, msg::kStartNoStack, kRunner.name);
    register_thread_metatable(L);
    size_t path_len = 0, cpath_len = 0;
    const char* path = read_package_field(L, "path", &path_len);
    const char* cpath = read_package_field(L, "cpath", &cpath_len);
    // A state started under a host that has its own record passes it on, so
    // that host's clean-up covers every state; otherwise this library's.
    void* record = nullptr;
    if (with_record && !(record = host_env_of(L)))
        record = own_record();
    Owner* owner = state_owner(L);
    if (!owner)
        return luaL_error(L, msg::kStartNoMemory, kRunner.name);
    auto* box = static_cast<Box*>(lua_newuserdata(L, sizeof(Box) + chunk.name_len + 1));
    box->thread = nullptr;
    box->owner = nullptr;
    box->outcome = Box::pending;
    box->name_len = chunk.name_len;
    std::memcpy(box + 1, chunk.name ? chunk.name : "", chunk.name_len + 1);
    const int box_slot = lua_gettop(L);
    luaL_getmetatable(L, kRunner.thread_type);
    lua_setmetatable(L, -2);

    // 1. The job, with copies of the arguments, owned by the thread object
    // from here on (so that a raise below leaves nothing behind).
    char failure[200] = "";
    Refusal refusal;
    try {
        owner->reap();
        auto t = std::make_unique<Thread>();
        Job& job = t->job;
        if (chunk.file)
            job.file = chunk.file;
        else
            job.code.assign(chunk.code, chunk.code_len);
        job.has_path = path != nullptr;
        job.has_cpath = cpath != nullptr;
        if (path)
            job.path.assign(path, path_len);
        if (cpath)
            job.cpath.assign(cpath, cpath_len);
        job.record = record;
        copy_values(L, 2, nargs, job.args, refusal);
        box->thread = t.release();
    } catch (...) {
        std::snprintf(failure, sizeof failure, msg::kStartNoMemory, kRunner.name);
    }
    if (failure[0])
        return luaL_error(L, "%s", failure);
    // 2. What cannot cross inside a table, named by its path (values outside
    // tables were refused with the argument errors above); cdata pointers.
    Job& job = box->thread->job;
    if (!refusal.slot && !job.args.cdata.empty())
        resolve_cdata(L, 2, job.args, refusal);
    if (refusal.slot) {
        lua_pushfstring(L, msg::kArgumentRefused, kRunner.name, refusal.slot);
        push_refusal(L, refusal);
        lua_concat(L, 2);
        return lua_error(L);
    }
    // 3. The thread.
    try {
        box->thread->os = std::thread(run_job, std::ref(job));
        box->owner = owner;
        ++owner->refs;
    } catch (const std::system_error& e) {
        std::snprintf(failure, sizeof failure, msg::kCannotStart, kRunner.name, e.what());
    } catch (...) {
        std::snprintf(failure, sizeof failure, msg::kStartNoMemory, kRunner.name);
    }
    if (failure[0])
        return luaL_error(L, "%s", failure);
    lua_settop(L, box_slot);
    return 1;
}

int l_join(lua_State* L)
{
    Box* box = check_box(L);
    const TimeLimit limit =
        check_time_limit_arg(L, 2, {msg::kTimeoutType, msg::kTimeoutNaN, msg::kTimeoutNegative});
    Thread* t = box->thread;
    if (!t || t->joined)
        return luaL_error(L, msg::kJoinedAlready, kRunner.name);
    if (limit.kind() != TimeLimit::Kind::forever && !wait_finished(t->job, limit)) {
        // Still running: a result no thread returns (its own are true, ...
        // or false, message), and the thread stays joinable.
        lua_pushnil(L);
        lua_pushstring(L, msg::kJoinTimeout);
        return 2;
    }
    char failure[200] = "";
    try {
        t->os.join();
        t->joined = true;
    } catch (const std::exception& e) {
        std::snprintf(failure, sizeof failure, msg::kCannotJoin, kRunner.name, e.what());
    }
    if (failure[0])
        return luaL_error(L, "%s", failure);

    const Job& job = t->job;
    box->outcome = job.ok ? Box::done : Box::failed;
    int n = job.ok ? static_cast<int>(job.results.size()) + 1 : 2;
    if (!lua_checkstack(L, n + 4))
        return luaL_error(L, msg::kTooManyResults, kRunner.name, n - 1);
    if (job.ok) {
        lua_pushboolean(L, 1);
        push_values(L, job.results);
    } else {
        lua_pushboolean(L, 0);
        if (box->name_len)
            lua_pushfstring(L, msg::kNamedFailure, box->name());
        lua_pushlstring(L, job.error_text(), job.error_size());
        if (box->name_len)
            lua_concat(L, 2);
    }
    // Freed only now: a push that raised left the thread to the collector.
    box->thread = nullptr;
    delete t;
    return n;
}

int l_done(lua_State* L)
{
    Box* box = check_box(L);
    Thread* t = box->thread;
    lua_pushboolean(L, !t || t->joined || t->job.finished.load(std::memory_order_acquire));
    return 1;
}

int l_status(lua_State* L)
{
    lua_pushstring(L, status_text(check_box(L)));
    return 1;
}

}  // namespace luamods::threads
