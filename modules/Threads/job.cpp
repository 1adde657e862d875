#include "Threads/job.hpp"

#include <cstdio>

#include "Threads/host_env.hpp"
#include "Threads/messages.hpp"

namespace luamods::threads {

namespace {

int traceback(lua_State* L)
{
    if (!lua_isstring(L, 1))
        return 1;  // a non-string error value is described when it is kept
    luaL_traceback(L, L, lua_tostring(L, 1), 1);
    return 1;
}

void keep_error(lua_State* L, Job& job) noexcept
{
    job.ok = false;
    try {
        size_t n = 0;
        if (const char* s = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &n) : nullptr) {
            job.error.assign(s, n);
        } else {
            char text[80];
            std::snprintf(text, sizeof text, msg::kErrorObject, lua_typename(L, lua_type(L, -1)));
            job.error = text;
        }
    } catch (...) {
        job.fixed_error = msg::kNoMemoryForError;
    }
}

// The results are slots first..top.  True when they are kept; false when
// one cannot cross (`refusal` says which) or memory ran out (the error is
// kept).
bool keep_results(lua_State* L, int first, Job& job, Refusal& refusal) noexcept
{
    try {
        job.ok = copy_values(L, first, lua_gettop(L), job.results, refusal);
        if (!job.ok)
            job.results.clear();
        return job.ok;
    } catch (...) {
        job.ok = false;
        job.results.clear();
        job.fixed_error = msg::kNoMemoryForResults;
        return false;
    }
}

// The error of a result that cannot cross, on top of the stack.
void push_result_refusal(lua_State* L, int first, const Refusal& refusal)
{
    const int result = refusal.slot - first + 1;
    if (refusal.in_table()) {
        lua_pushfstring(L, msg::kResultRefused, kRunner.name, result);
        push_refusal(L, refusal);
        lua_concat(L, 2);
    } else {
        lua_pushfstring(L, msg::kResultCannotCross, kRunner.name, result,
                        lua_typename(L, refusal.type), kCrossingTypes);
    }
}

void set_package_field(lua_State* L, const char* name, const std::string& value)
{
    lua_getglobal(L, "package");
    lua_pushlstring(L, value.data(), value.size());
    lua_setfield(L, -2, name);
    lua_pop(L, 1);
}

// Runs under lua_cpcall in the new state, so that any error of the set-up is
// caught there.  Nothing in this frame owns a C++ object.
int run_in_state(lua_State* L)
{
    Job& job = *static_cast<Job*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    luaL_openlibs(L);
    if (job.has_path)
        set_package_field(L, "path", job.path);
    if (job.has_cpath)
        set_package_field(L, "cpath", job.cpath);
    if (job.record)
        install_record(L, job.record);
    if (kRunner.open_state)
        kRunner.open_state(L);

    lua_pushcfunction(L, traceback);  // slot 1; the chunk and its results follow
    // Source text is named as loadstring names it: [string "first line..."].
    int rc = job.file.empty()
                 ? luaL_loadbuffer(L, job.code.data(), job.code.size(), job.code.c_str())
                 : luaL_loadfile(L, job.file.c_str());
    if (rc == 0) {
        int nargs = static_cast<int>(job.args.size());
        if (!lua_checkstack(L, nargs + LUA_MINSTACK))
            luaL_error(L, msg::kTooManyArguments, kRunner.name);
        push_values(L, job.args);
        rc = lua_pcall(L, nargs, LUA_MULTRET, 1);
    }
    if (rc == 0) {
        // The copy walks tables with the stack; room first, as it may raise.
        if (!lua_checkstack(L, kCopyStackSlots))
            luaL_error(L, msg::kResultsNoStack, kRunner.name);
        Refusal refusal;
        // A raise in resolve_cdata leaves the results to the job, which
        // lives outside this state.
        if (keep_results(L, 2, job, refusal) &&
            (job.results.cdata.empty() || resolve_cdata(L, 2, job.results, refusal)))
            return 0;
        if (!refusal.slot)
            return 0;  // out of memory, kept by keep_results
        job.ok = false;
        job.results.clear();
        push_result_refusal(L, 2, refusal);
    }
    keep_error(L, job);
    return 0;
}

}  // namespace

void run_job(Job& job) noexcept
{
    if (lua_State* L = luaL_newstate()) {
        if (lua_cpcall(L, run_in_state, &job) != 0)
            keep_error(L, job);
        lua_close(L);
    } else {
        job.ok = false;
        job.fixed_error = msg::kNoMemoryForState;
    }
    try {
        std::lock_guard<std::mutex> lock(job.finish_mutex);
        job.finished.store(true, std::memory_order_release);
    } catch (...) {
        // No lock: a timed join sees the flag at its next look.
        job.finished.store(true, std::memory_order_release);
    }
    job.finish_signal.notify_all();
}

bool wait_finished(Job& job, const TimeLimit& limit) noexcept
{
    auto done = [&] { return job.finished.load(std::memory_order_acquire); };
    if (done() || limit.kind() == TimeLimit::Kind::now)
        return done();
    try {
        std::unique_lock<std::mutex> lock(job.finish_mutex);
        if (limit.kind() == TimeLimit::Kind::forever) {
            job.finish_signal.wait(lock, done);
            return true;
        }
        // In steps of the next system wait, so that a wait that ends early
        // (the clock's granularity) waits again and one that ends late is
        // not taken for more time left.
        while (!done()) {
            const std::int64_t us = limit.next_wait_us();
            if (us == 0)
                break;
            job.finish_signal.wait_for(lock, std::chrono::microseconds(us));
        }
    } catch (...) {
    }
    return done();
}

}  // namespace luamods::threads
