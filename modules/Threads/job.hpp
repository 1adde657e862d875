// What one thread runs: a new Lua state with the standard libraries, the
// starting state's package.path and package.cpath and, as a rule, an "_env"
// record, the chunk called with the arguments, and its outcome kept as plain
// values.
#pragma once

#include <lua.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "common/time_limit.hpp"

#include "common/values.hpp"

namespace luamods::threads {

// The program that runs threads on this code: the threads library
// (module.cpp) or the test host, each defining kRunner once.
struct Runner {
    const char* name;         // what its messages begin with: "threads" in "threads.start: ..."
    const char* thread_type;  // the thread object's metatable name
    void (*open_state)(lua_State* L);  // adds to every new state after its libraries, or null
};
extern const Runner kRunner;

struct Job {
    // Copied out of the starting state before the thread exists.
    std::string code;  // the source text, or empty when `file` is set
    std::string file;  // a script to load as luaL_loadfile does
    std::string path, cpath;
    bool has_path = false, has_cpath = false;
    void* record = nullptr;  // what the new state's "_env" points at; null: no "_env"
    Values args;

    // Written by the thread before `finished` is set; read after a join.
    bool ok = false;
    Values results;
    std::string error;
    const char* fixed_error = nullptr;  // used when `error` could not be stored
    std::atomic<bool> finished{false};
    // `finished` is also set under this mutex, and the condition notified,
    // for a join with a time limit.
    std::mutex finish_mutex;
    std::condition_variable finish_signal;

    const char* error_text() const noexcept { return fixed_error ? fixed_error : error.c_str(); }
    std::size_t error_size() const noexcept
    {
        return fixed_error ? std::char_traits<char>::length(fixed_error) : error.size();
    }
};

// Waits until the job has finished or `limit` has expired; true when it
// has finished.  Never throws (a failed wait reads as not finished yet).
bool wait_finished(Job& job, const TimeLimit& limit) noexcept;

// The body of the thread: opens the state, runs the chunk, keeps the
// outcome, closes the state (joining the threads it started in turn) and
// sets `finished`.
void run_job(Job& job) noexcept;

}  // namespace luamods::threads
