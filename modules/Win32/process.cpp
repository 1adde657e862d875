// Processes that already exist: wait, exit code, terminate, open, kill,
// liveness, start time, own id, and close for every handle of the module.
// Nothing here holds a C++ object, so the functions raise and return freely.

#include <cstring>

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/messages.hpp"

namespace luamods::win32 {
namespace {

constexpr DWORD kQueryRights = PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kWaitRights = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kTerminateRights = SYNCHRONIZE | PROCESS_TERMINATE;

// A wait on a process as a boolean: whether it has ended (`ask_ended`) or
// whether it is still running.  Any other result is the error `code`, read
// right after the wait.
int push_wait_result(lua_State* L, DWORD r, DWORD code, bool ask_ended)
{
    if (r != WAIT_OBJECT_0 && r != WAIT_TIMEOUT)
        return push_windows_error(L, code);
    lua_pushboolean(L, (r == WAIT_OBJECT_0) == ask_ended);
    return 1;
}

DWORD error_after_wait(DWORD r)
{
    return r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT ? 0 : GetLastError();
}

}  // namespace

int l_wait(lua_State* L)
{
    HANDLE h = check_handle_arg(L, 1);
    const lua_Integer timeout = opt_saturated_arg(L, 2, 4294967295LL, kIntegerTexts, nullptr);
    // Only an explicit negative value (-inf included) waits without limit;
    // the default and larger values (+inf included) are clamped to the
    // largest finite interval.
    const DWORD interval =
        timeout < 0 ? INFINITE : static_cast<DWORD>(timeout > 2147483647 ? 2147483647 : timeout);
    const DWORD r = WaitForSingleObject(h, interval);
    return push_wait_result(L, r, error_after_wait(r), true);
}

int l_exit_code(lua_State* L)
{
    HANDLE h = check_handle_arg(L, 1);
    // A zero-time wait, not STILL_ACTIVE, tells whether the process runs: a
    // process may well exit with code 259.
    const DWORD r = WaitForSingleObject(h, 0);
    if (r == WAIT_TIMEOUT) {
        lua_pushliteral(L, "running");
        return 1;
    }
    if (r != WAIT_OBJECT_0)
        return push_windows_error(L, GetLastError());
    return push_dword_or_last_error(L, h, GetExitCodeProcess);
}

int l_terminate(lua_State* L)
{
    HANDLE h = check_handle_arg(L, 1);
    const DWORD code = opt_low32_arg(L, 2, 1);
    return push_true_or_last_error(L, TerminateProcess(h, code));
}

int l_open_process(lua_State* L)
{
    const DWORD pid = check_low32_arg(L, 1);
    const char* access = luaL_checklstring(L, 2, nullptr);
    DWORD rights = 0;
    if (std::strcmp(access, "query") == 0)
        rights = kQueryRights;
    else if (std::strcmp(access, "wait") == 0)
        rights = kWaitRights;
    else if (std::strcmp(access, "terminate") == 0)
        rights = kTerminateRights;
    else
        return luaL_error(L, "%s", kOpenProcessAccess);
    HANDLE h = OpenProcess(rights, FALSE, pid);
    if (!valid_handle(h))
        return push_windows_error(L, GetLastError());
    push_handle(L, h);
    return 1;
}

int l_kill(lua_State* L)
{
    const DWORD pid = check_low32_arg(L, 1);
    const DWORD exit_code = opt_low32_arg(L, 2, 1);
    HANDLE h = OpenProcess(kTerminateRights, FALSE, pid);
    if (!valid_handle(h))
        return push_windows_error(L, GetLastError());
    const BOOL ok = TerminateProcess(h, exit_code);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok)
        return push_windows_error(L, code);
    lua_pushboolean(L, 1);
    return 1;
}

int l_pid_alive(lua_State* L)
{
    const DWORD pid = check_low32_arg(L, 1);
    HANDLE h = OpenProcess(kWaitRights, FALSE, pid);
    if (!valid_handle(h)) {
        const DWORD code = GetLastError();
        if (code == ERROR_INVALID_PARAMETER) {
            lua_pushboolean(L, 0);
            return 1;
        }
        if (code == ERROR_ACCESS_DENIED) {
            lua_pushnil(L);
            return 1;
        }
        return push_windows_error(L, code);
    }
    const DWORD r = WaitForSingleObject(h, 0);
    const DWORD code = error_after_wait(r);
    CloseHandle(h);
    return push_wait_result(L, r, code, false);
}

int l_process_started_at(lua_State* L)
{
    const DWORD pid = check_low32_arg(L, 1);
    HANDLE h = OpenProcess(kQueryRights, FALSE, pid);
    if (!valid_handle(h))
        return push_windows_error(L, GetLastError());
    FILETIME created{}, exited{}, kernel{}, user{};
    const BOOL ok = GetProcessTimes(h, &created, &exited, &kernel, &user);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok)
        return push_windows_error(L, code);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    lua_pushnumber(L, static_cast<double>(ticks) / 10000000.0 + -11644473600.0);
    return 1;
}

int l_current_pid(lua_State* L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(GetCurrentProcessId()));
    return 1;
}

int l_close(lua_State* L)
{
    if (!lua_isnumber(L, 1)) {
        lua_pushboolean(L, 0);
        return 1;
    }
    // A number that is no 64-bit integer names no handle either.
    const double n = lua_tonumber(L, 1);
    if (!(n >= -9223372036854775808.0 && n < 9223372036854775808.0)) {
        lua_pushboolean(L, 0);
        return 1;
    }
    const auto value = static_cast<lua_Integer>(n);
    if (value == 0 || value == -1) {
        lua_pushboolean(L, 0);
        return 1;
    }
    lua_pushboolean(L, CloseHandle(to_handle(value)) ? 1 : 0);
    return 1;
}

}  // namespace luamods::win32
