// spawn: a child process with redirected standard streams, its own
// environment, working directory, creation options and jobs.  This file
// creates the child, hands it to its jobs and resumes it; spawn.hpp says
// where the request and the streams are handled.
//
// read_request checks the whole request into plain values before anything
// exists; launch creates the handles under a CloseList and AttributeList and
// reports a plain SpawnOutcome; only then is the result table or the failure
// triple pushed.

#include <type_traits>
#include <vector>

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/handles.hpp"
#include "Win32/messages.hpp"
#include "Win32/spawn.hpp"
#include "Win32/sys.hpp"
#include "Win32/text.hpp"

namespace luamods::win32 {
namespace {

// What launch reports: the failure code, or the handles for the script.
struct SpawnOutcome {
    bool failed = false;
    DWORD error = 0;
    const char* raise = nullptr;  // a Lua error to raise instead
    DWORD pid = 0;
    HANDLE process = nullptr;
    HANDLE in = nullptr;
    HANDLE out = nullptr;
    HANDLE err = nullptr;
    bool has_jobs = false;
    lua_Integer jobs_assigned = 0;
    bool has_job_error = false;
    DWORD job_error = 0;
};

static_assert(std::is_trivially_destructible_v<SpawnOutcome>,
              "what lives across a Lua error must be plain");

SpawnOutcome fail(DWORD code)
{
    SpawnOutcome outcome;
    outcome.failed = true;
    outcome.error = code;
    return outcome;
}

// The request's text as CreateProcessW takes it.
struct ChildText {
    WideString command_line;
    WideString cwd;
    WideString env_block;  // empty: the caller's environment
};

// False when the working directory is not valid UTF-8.
bool convert_text(lua_State* L, const SpawnRequest& request, ChildText& text)
{
    text.command_line = utf8_to_wide(request.command_line, request.command_line_length);
    if (request.cwd) {
        text.cwd = utf8_to_wide(request.cwd, request.cwd_length);
        if (text.cwd.empty())
            return false;
    }
    text.env_block = request_env_block(L, request);
    return true;
}

// A child created suspended that has not been handed over yet: if the call
// is left early (an exception), it is ended instead of staying suspended.
class SuspendedChild {
public:
    explicit SuspendedChild(HANDLE process) : process_(process) {}
    SuspendedChild(const SuspendedChild&) = delete;
    SuspendedChild& operator=(const SuspendedChild&) = delete;
    ~SuspendedChild()
    {
        if (process_)
            TerminateProcess(process_, 1);
    }
    void release() noexcept { process_ = nullptr; }

private:
    HANDLE process_;
};

// CreateProcessW, with two fallbacks, each at most once: without the
// breakaway flag when the job refuses it, and with the caller's environment
// when the system refuses the block (if the script asked for that).  On
// failure, code is the last call's error.
bool create_child(const SpawnRequest& request, ChildText& text, DWORD base_flags,
                  STARTUPINFOEXW& startup, PROCESS_INFORMATION& info, DWORD& code)
{
    bool use_env = !text.env_block.empty();
    bool breakaway = request.breakaway;
    code = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD flags = base_flags;
        if (use_env)
            flags |= CREATE_UNICODE_ENVIRONMENT;
        if (breakaway)
            flags |= CREATE_BREAKAWAY_FROM_JOB;
        if (sys::create_process(nullptr, text.command_line.data(), nullptr, nullptr, TRUE, flags,
                                use_env ? text.env_block.data() : nullptr,
                                text.cwd.empty() ? nullptr : text.cwd.c_str(), &startup.StartupInfo,
                                &info))
            return true;
        code = GetLastError();
        if (breakaway && code == ERROR_ACCESS_DENIED)
            breakaway = false;
        else if ((code == ERROR_INVALID_NAME || code == ERROR_INVALID_PARAMETER) &&
                 request.env_retry && use_env)
            use_env = false;
        else
            return false;
    }
    return false;
}

// Assigns the suspended child to every job (a refusal is reported, not
// fatal) and resumes it.  False (with code) when it cannot be resumed: then
// it has been ended, and whatever the jobs hold with it.
bool hand_to_jobs(const std::vector<HANDLE>& jobs, const PROCESS_INFORMATION& info,
                  SpawnOutcome& outcome, DWORD& code)
{
    SuspendedChild suspended(info.hProcess);
    outcome.has_jobs = true;
    for (HANDLE job : jobs) {
        if (sys::assign_process_to_job(job, info.hProcess)) {
            ++outcome.jobs_assigned;
        } else if (!outcome.has_job_error) {
            outcome.has_job_error = true;
            outcome.job_error = GetLastError();
        }
    }
    if (sys::resume_thread(info.hThread) == static_cast<DWORD>(-1)) {
        // The child never ran.  The process handle stays on the close list.
        code = GetLastError();
        TerminateProcess(info.hProcess, 1);
        for (HANDLE job : jobs)
            TerminateJobObject(job, 1);
        return false;
    }
    suspended.release();
    return true;
}

// Takes the handles the script gets off the close list.
void hand_over(CloseList& closes, const ChildStdio& stdio, const PROCESS_INFORMATION& info,
               SpawnOutcome& outcome)
{
    outcome.pid = info.dwProcessId;
    outcome.process = closes.take(info.hProcess);
    if (stdio.in.has_parent_end)
        outcome.in = closes.take(stdio.in.parent_end);
    if (stdio.out.has_parent_end)
        outcome.out = closes.take(stdio.out.parent_end);
    if (stdio.err.has_parent_end && !stdio.err.shared_with_stdout)
        outcome.err = closes.take(stdio.err.parent_end);
}

// Creates the child.  Throws only C++ exceptions (exhausted memory); the
// CloseList and AttributeList release everything on every path.
SpawnOutcome launch(lua_State* L, const SpawnRequest& request)
{
    ChildText text;
    if (!convert_text(L, request, text)) {
        SpawnOutcome outcome;
        outcome.raise = kSpawnCwd;
        return outcome;
    }
    const std::vector<HANDLE> jobs = request_jobs(L, request);

    CloseList closes;
    ChildStdio stdio;
    AttributeList attributes;
    DWORD code = 0;
    if (!open_child_stdio(request, closes, stdio, code) ||
        !inherit_only_stdio(stdio, attributes, code))
        return fail(code);

    DWORD flags = EXTENDED_STARTUPINFO_PRESENT;
    if (request.new_group)
        flags |= CREATE_NEW_PROCESS_GROUP;
    if (request.no_window)
        flags |= CREATE_NO_WINDOW;
    if (!jobs.empty())
        flags |= CREATE_SUSPENDED;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = stdio.in.child_end;
    startup.StartupInfo.hStdOutput = stdio.out.child_end;
    startup.StartupInfo.hStdError = stdio.err.child_end;
    startup.lpAttributeList = attributes.get();

    PROCESS_INFORMATION info{};
    if (!create_child(request, text, flags, startup, info, code))
        return fail(code);
    if (info.hThread)
        closes.add(info.hThread);
    if (!info.hProcess)
        return fail(code != 0 ? code : ERROR_INVALID_PARAMETER);
    closes.add(info.hProcess);

    SpawnOutcome outcome;
    if (!jobs.empty() && !hand_to_jobs(jobs, info, outcome, code))
        return fail(code);
    hand_over(closes, stdio, info, outcome);
    return outcome;
}

// The result fields, in the order they are set.
enum ResultKey { kPid, kProcess, kStdin, kStdout, kStderr, kJobsAssigned, kJobError, kKeyCount };
constexpr const char* kResultKeys[kKeyCount] = {"pid",    "process",       "stdin",    "stdout",
                                                "stderr", "jobs_assigned", "job_error"};

// Stores value under the key pushed at keys + key, into the table at
// result.  Neither allocates nor steps the collector (the table has room
// for every key): once the child exists, nothing can raise any more.
void set_result(lua_State* L, int result, int keys, ResultKey key, lua_Integer value)
{
    lua_pushvalue(L, keys + key);
    lua_pushinteger(L, value);
    lua_rawset(L, result);
}

}  // namespace

int l_spawn(lua_State* L)
{
    const SpawnRequest request = read_request(L);
    // The result table and its keys are made before anything exists: an
    // allocation may run a finalizer that raises, and an error after the
    // launch would strand the child's handles.
    luaL_checkstack(L, kKeyCount + 4, kSpawnStack);
    lua_createtable(L, 0, kKeyCount);
    const int result = lua_gettop(L);
    for (const char* key : kResultKeys)
        lua_pushstring(L, key);
    const int keys = result + 1;

    const SpawnOutcome outcome = launch(L, request);
    if (outcome.raise)
        return luaL_error(L, "%s", outcome.raise);
    if (outcome.failed)
        return push_windows_error(L, outcome.error);

    set_result(L, result, keys, kPid, static_cast<lua_Integer>(outcome.pid));
    set_result(L, result, keys, kProcess, handle_value(outcome.process));
    if (outcome.in)
        set_result(L, result, keys, kStdin, handle_value(outcome.in));
    if (outcome.out)
        set_result(L, result, keys, kStdout, handle_value(outcome.out));
    if (outcome.err)
        set_result(L, result, keys, kStderr, handle_value(outcome.err));
    if (outcome.has_jobs) {
        set_result(L, result, keys, kJobsAssigned, outcome.jobs_assigned);
        if (outcome.has_job_error)
            set_result(L, result, keys, kJobError, static_cast<lua_Integer>(outcome.job_error));
    }
    lua_settop(L, result);
    return 1;
}

}  // namespace luamods::win32
