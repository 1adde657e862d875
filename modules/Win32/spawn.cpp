// spawn: a child process with redirected standard streams, its own
// environment, working directory, creation options and jobs.
//
// read_spec checks the whole table of the request into plain values before
// anything exists (every Lua error of spawn is raised there); launch creates
// the handles under a CloseList and AttributeList and reports a plain
// SpawnOutcome; only then is the result table or the failure triple pushed.

#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Win32/env_block.hpp"
#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/handles.hpp"
#include "Win32/sys.hpp"
#include "Win32/text.hpp"

namespace luamods::win32 {
namespace {

enum class StdioKind { null_device = 0, pipe = 1, append_file = 2 };

// A parsed stream field; the path bytes stay on the Lua stack.
struct StdioSpec {
    StdioKind kind = StdioKind::null_device;
    const char* path = nullptr;
    std::size_t path_length = 0;
};

// The request table, read.  Every string and table it points into is
// held on the Lua stack for the rest of the call.
struct SpawnSpec {
    const char* command_line = nullptr;
    std::size_t command_line_length = 0;
    const char* cwd = nullptr;
    std::size_t cwd_length = 0;
    int env_index = 0;  // stack index of the env table, 0 if none
    std::size_t env_length = 0;
    bool env_retry = false;
    bool no_window = false;
    bool new_group = false;
    bool breakaway = false;
    int jobs_index = 0;  // stack index of the jobs table, 0 if none
    std::size_t jobs_length = 0;
    StdioSpec in, out, err;
    bool err_shares_out = false;
};

struct StdioEnds {
    HANDLE child_end = nullptr;
    HANDLE parent_end = nullptr;
    bool has_parent_end = false;
    bool shared_with_stdout = false;
};

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

static_assert(std::is_trivially_destructible_v<SpawnSpec> &&
                  std::is_trivially_destructible_v<SpawnOutcome>,
              "what lives across a Lua error must be plain");

bool read_boolean_field(lua_State* L, const char* name)
{
    lua_getfield(L, 1, name);
    const bool value = lua_toboolean(L, -1) != 0;
    lua_pop(L, 1);
    return value;
}

// Parses the stream value on the stack top (left there) into request.
void read_stream(lua_State* L, const char* field, bool is_stdin, StdioSpec& request)
{
    const int index = lua_gettop(L);
    switch (lua_type(L, index)) {
    case LUA_TNONE:
    case LUA_TNIL:
        request.kind = StdioKind::null_device;
        return;
    case LUA_TSTRING: {
        const char* text = lua_tostring(L, index);
        if (std::strcmp(text, "null") == 0) {
            request.kind = StdioKind::null_device;
            return;
        }
        if (std::strcmp(text, "pipe") == 0) {
            request.kind = StdioKind::pipe;
            return;
        }
        luaL_error(L, "win32.spawn: %s must be \"pipe\", \"null\"%s, got \"%s\"", field,
                   is_stdin ? "" : " or {append=path}", text);
        return;
    }
    case LUA_TTABLE: {
        lua_getfield(L, index, "append");  // stays on the stack: it holds the path
        std::size_t length = 0;
        const char* path = nullptr;
        if (lua_type(L, -1) == LUA_TSTRING)
            path = lua_tolstring(L, -1, &length);
        if (is_stdin)
            luaL_error(L, "win32.spawn: %s does not take {append=path}", field);
        if (!path || length == 0)
            luaL_error(L, "win32.spawn: %s={append=path} needs a UTF-8 path", field);
        if (has_zero_byte(path, length))
            luaL_error(L, "win32.spawn: %s={append=path} contains a zero byte", field);
        request.kind = StdioKind::append_file;
        request.path = path;
        request.path_length = length;
        return;
    }
    default:
        luaL_error(L, "win32.spawn: %s must be a string or {append=path}", field);
    }
}

// Reads and checks the request table at index 1.  Raises on misuse;
// creates nothing.
SpawnSpec read_spec(lua_State* L)
{
    SpawnSpec request;
    luaL_checktype(L, 1, LUA_TTABLE);
    lua_settop(L, 1);
    luaL_checkstack(L, 24, "win32.spawn");

    lua_getfield(L, 1, "command_line");
    if (lua_type(L, -1) == LUA_TSTRING)
        request.command_line = lua_tolstring(L, -1, &request.command_line_length);
    if (!request.command_line || request.command_line_length == 0)
        luaL_error(L, "win32.spawn: spec.command_line is required and must be a non-empty string");
    check_no_zero_byte(L, "spawn", "spec.command_line", request.command_line,
                       request.command_line_length);

    lua_getfield(L, 1, "cwd");
    if (lua_type(L, -1) == LUA_TSTRING) {
        request.cwd = lua_tolstring(L, -1, &request.cwd_length);
        if (request.cwd_length == 0)
            luaL_error(L, "win32.spawn: spec.cwd is not valid UTF-8");
        check_no_zero_byte(L, "spawn", "spec.cwd", request.cwd, request.cwd_length);
    }

    lua_getfield(L, 1, "env");
    if (lua_type(L, -1) == LUA_TTABLE) {
        // The string entries are checked and copied into a table of their
        // own, for the same reason as the jobs below.  An entry with a zero
        // byte is refused outright: skipping it could leave the block empty,
        // and an empty block hands the child the caller's whole environment.
        const int given = lua_gettop(L);
        const std::size_t length = lua_objlen(L, given);
        lua_createtable(L, static_cast<int>(length), 0);
        request.env_index = lua_gettop(L);
        for (std::size_t i = 1; i <= length; ++i) {
            lua_rawgeti(L, given, static_cast<int>(i));
            if (lua_type(L, -1) != LUA_TSTRING) {
                lua_pop(L, 1);
                continue;
            }
            std::size_t entry_length = 0;
            const char* entry = lua_tolstring(L, -1, &entry_length);
            if (has_zero_byte(entry, entry_length))
                luaL_error(L, "win32.spawn: spec.env[%d] contains a zero byte",
                           static_cast<int>(i));
            lua_rawseti(L, request.env_index, static_cast<int>(++request.env_length));
        }
    }

    request.env_retry = read_boolean_field(L, "env_retry");
    request.no_window = read_boolean_field(L, "no_window");
    request.new_group = read_boolean_field(L, "new_group");
    request.breakaway = read_boolean_field(L, "breakaway");

    lua_getfield(L, 1, "jobs");
    if (lua_type(L, -1) == LUA_TTABLE) {
        const int given = lua_gettop(L);
        request.jobs_length = lua_objlen(L, given);
        // The checked handles go into a table of their own: reading the
        // stream fields below may run the request table's __index, which must
        // not be able to change the list after it was checked.
        lua_createtable(L, static_cast<int>(request.jobs_length), 0);
        request.jobs_index = lua_gettop(L);
        for (std::size_t i = 1; i <= request.jobs_length; ++i) {
            lua_rawgeti(L, given, static_cast<int>(i));
            const HANDLE job = check_handle_arg(L, -1);
            lua_pop(L, 1);
            push_handle(L, job);
            lua_rawseti(L, request.jobs_index, static_cast<int>(i));
        }
    }

    lua_getfield(L, 1, "stderr");
    {
        std::size_t length = 0;
        const char* text =
            lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &length) : nullptr;
        request.err_shares_out = text && length == 6 && std::memcmp(text, "stdout", 6) == 0;
    }
    const int stderr_index = lua_gettop(L);

    lua_getfield(L, 1, "stdin");
    read_stream(L, "stdin", true, request.in);
    lua_getfield(L, 1, "stdout");
    read_stream(L, "stdout", false, request.out);
    if (!request.err_shares_out) {
        lua_pushvalue(L, stderr_index);
        read_stream(L, "stderr", false, request.err);
    }
    return request;
}

// Opens one stream for the child.  False (with code) on failure; whatever
// was created is on the close list either way.
bool open_stream(const StdioSpec& request, bool is_input, CloseList& closes, StdioEnds& ends,
                 DWORD& code)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    switch (request.kind) {
    case StdioKind::pipe: {
        // Created non-inheritable; only the child's end is then made
        // inheritable, so the caller's end is never inheritable at any
        // moment, not even for a process some other thread starts without
        // a handle list.
        SECURITY_ATTRIBUTES private_sa{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!sys::create_pipe(&read_end, &write_end, &private_sa, 0)) {
            code = GetLastError();
            return false;
        }
        closes.add(read_end);
        closes.add(write_end);
        ends.child_end = is_input ? read_end : write_end;
        ends.parent_end = is_input ? write_end : read_end;
        ends.has_parent_end = true;
        if (!sys::set_handle_information(ends.child_end, HANDLE_FLAG_INHERIT,
                                         HANDLE_FLAG_INHERIT)) {
            code = GetLastError();
            return false;
        }
        return true;
    }
    case StdioKind::null_device: {
        HANDLE h = sys::create_file(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_EXISTING, 0, nullptr);
        if (!valid_handle(h)) {
            code = GetLastError();
            return false;
        }
        closes.add(h);
        ends.child_end = h;
        return true;
    }
    case StdioKind::append_file: {
        // FILE_APPEND_DATA alone: every write lands at the end, and the file
        // is created when missing and never truncated.
        const WideString path = utf8_to_wide(request.path, request.path_length);
        HANDLE h = sys::create_file(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!valid_handle(h)) {
            code = GetLastError();
            return false;
        }
        closes.add(h);
        ends.child_end = h;
        return true;
    }
    }
    return false;
}

WideString read_env_block(lua_State* L, const SpawnSpec& request)
{
    if (request.env_index == 0)
        return WideString();
    // The strings stay referenced by the env table on the stack; nothing runs
    // Lua code while the views are used.
    std::vector<std::string_view> entries;
    entries.reserve(request.env_length);
    for (std::size_t i = 1; i <= request.env_length; ++i) {
        lua_rawgeti(L, request.env_index, static_cast<int>(i));
        if (lua_type(L, -1) == LUA_TSTRING) {
            std::size_t length = 0;
            const char* text = lua_tolstring(L, -1, &length);
            entries.emplace_back(text, length);
        }
        lua_pop(L, 1);
    }
    return build_env_block(entries);
}

std::vector<HANDLE> read_jobs(lua_State* L, const SpawnSpec& request)
{
    std::vector<HANDLE> jobs;
    if (request.jobs_index == 0)
        return jobs;
    jobs.reserve(request.jobs_length);
    for (std::size_t i = 1; i <= request.jobs_length; ++i) {
        lua_rawgeti(L, request.jobs_index, static_cast<int>(i));
        jobs.push_back(to_handle(lua_tointeger(L, -1)));  // the checked copy
        lua_pop(L, 1);
    }
    return jobs;
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

SpawnOutcome fail(DWORD code)
{
    SpawnOutcome outcome;
    outcome.failed = true;
    outcome.error = code;
    return outcome;
}

// Creates the child.  Throws only C++ exceptions (exhausted memory); the
// CloseList and AttributeList release everything on every path.
SpawnOutcome launch(lua_State* L, const SpawnSpec& request)
{
    WideString command_line = utf8_to_wide(request.command_line, request.command_line_length);
    WideString cwd;
    if (request.cwd) {
        cwd = utf8_to_wide(request.cwd, request.cwd_length);
        if (cwd.empty()) {
            SpawnOutcome outcome;
            outcome.raise = "win32.spawn: spec.cwd is not valid UTF-8";
            return outcome;
        }
    }
    WideString env_block = read_env_block(L, request);
    const std::vector<HANDLE> jobs = read_jobs(L, request);

    CloseList closes;
    StdioEnds in, out, err;
    DWORD code = 0;
    if (!open_stream(request.in, true, closes, in, code))
        return fail(code);
    if (!open_stream(request.out, false, closes, out, code))
        return fail(code);
    if (request.err_shares_out) {
        err = out;
        err.shared_with_stdout = true;
    } else if (!open_stream(request.err, false, closes, err, code)) {
        return fail(code);
    }

    HANDLE inherit[3];
    std::size_t inherit_count = 0;
    for (HANDLE h : {in.child_end, out.child_end, err.child_end}) {
        bool listed = h == nullptr;
        for (std::size_t i = 0; i < inherit_count; ++i)
            listed = listed || inherit[i] == h;
        if (!listed)
            inherit[inherit_count++] = h;
    }

    AttributeList attributes;
    SIZE_T size = 0;
    sys::initialize_attribute_list(nullptr, 1, 0, &size);
    if (size == 0)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    attributes.allocate(size);
    if (!sys::initialize_attribute_list(attributes.get(), 1, 0, &size))
        return fail(GetLastError());
    attributes.mark_initialised();
    if (!sys::update_attribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                               inherit_count * sizeof(HANDLE), nullptr, nullptr))
        return fail(GetLastError());

    DWORD base_flags = EXTENDED_STARTUPINFO_PRESENT;
    if (request.new_group)
        base_flags |= CREATE_NEW_PROCESS_GROUP;
    if (request.no_window)
        base_flags |= CREATE_NO_WINDOW;
    if (!jobs.empty())
        base_flags |= CREATE_SUSPENDED;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = in.child_end;
    startup.StartupInfo.hStdOutput = out.child_end;
    startup.StartupInfo.hStdError = err.child_end;
    startup.lpAttributeList = attributes.get();

    // Two fallbacks, each at most once: without the breakaway flag when the
    // job refuses it, and with the caller's environment when the system
    // refuses the block (if the script asked for that).
    PROCESS_INFORMATION info{};
    bool use_env = !env_block.empty();
    bool breakaway = request.breakaway;
    bool launched = false;
    DWORD last_error = 0;
    for (int attempt = 0; attempt < 3 && !launched; ++attempt) {
        DWORD flags = base_flags;
        if (use_env)
            flags |= CREATE_UNICODE_ENVIRONMENT;
        if (breakaway)
            flags |= CREATE_BREAKAWAY_FROM_JOB;
        if (sys::create_process(nullptr, command_line.data(), nullptr, nullptr, TRUE, flags,
                                use_env ? env_block.data() : nullptr,
                                cwd.empty() ? nullptr : cwd.c_str(), &startup.StartupInfo,
                                &info)) {
            launched = true;
            break;
        }
        last_error = GetLastError();
        if (breakaway && last_error == ERROR_ACCESS_DENIED) {
            breakaway = false;
        } else if ((last_error == ERROR_INVALID_NAME || last_error == ERROR_INVALID_PARAMETER) &&
                   request.env_retry && use_env) {
            use_env = false;
        } else {
            return fail(last_error);
        }
    }
    if (!launched)
        return fail(last_error);
    if (info.hThread)
        closes.add(info.hThread);
    if (!info.hProcess)
        return fail(last_error != 0 ? last_error : ERROR_INVALID_PARAMETER);
    closes.add(info.hProcess);

    SpawnOutcome outcome;
    if (!jobs.empty()) {
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
            // The child never ran: end it and whatever the jobs hold.  The
            // process handle stays on the close list.
            const DWORD resume_error = GetLastError();
            TerminateProcess(info.hProcess, 1);
            for (HANDLE job : jobs)
                TerminateJobObject(job, 1);
            return fail(resume_error);
        }
        suspended.release();
    }

    outcome.pid = info.dwProcessId;
    outcome.process = closes.take(info.hProcess);
    if (in.has_parent_end)
        outcome.in = closes.take(in.parent_end);
    if (out.has_parent_end)
        outcome.out = closes.take(out.parent_end);
    if (err.has_parent_end && !err.shared_with_stdout)
        outcome.err = closes.take(err.parent_end);
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
    const SpawnSpec request = read_spec(L);
    // The result table and its keys are made before anything exists: an
    // allocation may run a finalizer that raises, and an error after the
    // launch would strand the child's handles.
    luaL_checkstack(L, kKeyCount + 4, "win32.spawn");
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
