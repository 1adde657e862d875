// Job objects: create (with kill-on-close and breakaway limits), assign,
// terminate, count the active processes.  No C++ objects: plain calls.

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"

namespace luamods::win32 {

int l_job_create(lua_State* L)
{
    bool kill_on_close = false;
    bool breakaway_ok = false;
    if (is_present(L, 1)) {
        luaL_checktype(L, 1, LUA_TTABLE);
        lua_getfield(L, 1, "kill_on_close");
        kill_on_close = lua_toboolean(L, -1) != 0;
        lua_pop(L, 1);
        lua_getfield(L, 1, "breakaway_ok");
        breakaway_ok = lua_toboolean(L, -1) != 0;
        lua_pop(L, 1);
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!valid_handle(job))
        return push_windows_error(L, GetLastError());
    // The limits are set even when none is chosen: the job is fully
    // configured or not handed out at all.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    static_assert(sizeof limits == 144);
    if (kill_on_close)
        limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (breakaway_ok)
        limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        const DWORD code = GetLastError();
        CloseHandle(job);
        return push_windows_error(L, code);
    }
    push_handle(L, job);
    return 1;
}

int l_job_assign(lua_State* L)
{
    HANDLE job = check_handle_arg(L, 1);
    HANDLE process = check_handle_arg(L, 2);
    return push_true_or_last_error(L, AssignProcessToJobObject(job, process));
}

int l_job_terminate(lua_State* L)
{
    HANDLE job = check_handle_arg(L, 1);
    const DWORD code = opt_low32_arg(L, 2, 1);
    return push_true_or_last_error(L, TerminateJobObject(job, code));
}

int l_job_active_count(lua_State* L)
{
    HANDLE job = check_handle_arg(L, 1);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    static_assert(sizeof info == 48);
    DWORD returned = 0;
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                   &returned))
        return push_windows_error(L, GetLastError());
    lua_pushinteger(L, static_cast<lua_Integer>(info.ActiveProcesses));
    return 1;
}

}  // namespace luamods::win32
