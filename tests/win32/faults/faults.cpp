// The test build's side of sys.hpp: every failable call named there first
// asks its plan whether to fail, and the DLL bindings are counted.  Tests
// drive the plans through the table that luaopen_win32_faults returns
// (exported by PellorFaults.dll only):
//
//   faults.fail(name, code [, count = 1 [, skip = 0]])  let `skip` calls pass,
//       then fail `count` calls with `code`
//   faults.fail(name, {code1, code2, ...} [, skip = 0])  fail the next calls
//       with these codes, one each
//   faults.throw(name [, count = 1 [, skip = 0]])  throw std::bad_alloc instead
//   faults.calls(name) -> calls seen since the last reset
//   faults.reset()
//   faults.null_entry() -> a module closure whose row is missing
//   faults.bindings() -> how often user32.dll and ucrtbase.dll (for
//       User32Bindings and _wputenv_s) were bound in this process

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <type_traits>

#include "Win32/functions.hpp"
#include "Win32/sys.hpp"
#include "luamods_export.hpp"

namespace luamods::win32 {
namespace {

enum Call {
    kCreatePipe,
    kCreateFile,
    kSetHandleInformation,
    kInitializeAttributeList,
    kUpdateAttribute,
    kCreateProcess,
    kAssignProcessToJob,
    kResumeThread,
    kEmptyClipboard,
    kGetClipboardData,
    kSetClipboardData,
    kGlobalAlloc,
    kGlobalLock,
    kGetModuleFileName,
    kCallCount
};

// The names tests use: the Windows functions' own.
constexpr const char* kCallNames[kCallCount] = {
    "CreatePipe",
    "CreateFileW",
    "SetHandleInformation",
    "InitializeProcThreadAttributeList",
    "UpdateProcThreadAttribute",
    "CreateProcessW",
    "AssignProcessToJobObject",
    "ResumeThread",
    "EmptyClipboard",
    "GetClipboardData",
    "SetClipboardData",
    "GlobalAlloc",
    "GlobalLock",
    "GetModuleFileNameW",
};

struct Plan {
    static constexpr int kMaxCodes = 8;
    long calls = 0;
    long skip = 0;
    long fail = 0;
    DWORD codes[kMaxCodes] = {};
    int code_count = 0;  // codes[0] for every failure when 1
    int next_code = 0;
    bool throws = false;
};

std::mutex g_lock;
Plan g_plans[kCallCount];

// The DLLs sys::system_library binds, and how often it did.
struct Binding {
    const wchar_t* dll;
    std::atomic<long> count{0};
};
Binding g_bindings[] = {{L"user32.dll"}, {L"ucrtbase.dll"}};

// True when this call is to fail with `code`; throws when it is to throw.
bool planned_failure(Call call, DWORD& code)
{
    bool throws = false;
    {
        std::lock_guard lock(g_lock);
        Plan& plan = g_plans[call];
        ++plan.calls;
        if (plan.skip > 0) {
            --plan.skip;
            return false;
        }
        if (plan.fail <= 0)
            return false;
        --plan.fail;
        code = plan.codes[plan.next_code];
        if (plan.next_code + 1 < plan.code_count)
            ++plan.next_code;
        throws = plan.throws;
    }
    if (throws)
        throw std::bad_alloc();
    return true;
}

// Every failable call: fails as the real one does (its failure value, the
// planned code as the last error) when its plan says so, else is the real
// call.
template <class Real, class... Args>
std::invoke_result_t<Real&, Args&...>
through(Call call, std::invoke_result_t<Real&, Args&...> failed, Real real, Args... args)
{
    DWORD code = 0;
    if (!planned_failure(call, code))
        return real(args...);
    SetLastError(code);
    return failed;
}

int call_index(lua_State* L, int arg)
{
    const char* name = luaL_checkstring(L, arg);
    for (int i = 0; i < kCallCount; ++i)
        if (std::strcmp(name, kCallNames[i]) == 0)
            return i;
    return luaL_argerror(L, arg, "unknown system call");
}

void set_plan(int call, long count, long skip, const DWORD* codes, int code_count, bool throws)
{
    std::lock_guard lock(g_lock);
    Plan& plan = g_plans[call];
    plan.fail = count;
    plan.skip = skip;
    for (int i = 0; i < code_count; ++i)
        plan.codes[i] = codes[i];
    plan.code_count = code_count;
    plan.next_code = 0;
    plan.throws = throws;
}

int l_fail(lua_State* L)
{
    const int call = call_index(L, 1);
    DWORD codes[Plan::kMaxCodes] = {};
    int code_count = 1;
    long count = 1;
    long skip = 0;
    if (lua_type(L, 2) == LUA_TTABLE) {
        code_count = static_cast<int>(lua_objlen(L, 2));
        luaL_argcheck(L, code_count >= 1 && code_count <= Plan::kMaxCodes, 2, "1 to 8 codes");
        for (int i = 0; i < code_count; ++i) {
            lua_rawgeti(L, 2, i + 1);
            codes[i] = static_cast<DWORD>(luaL_checkinteger(L, -1));
            lua_pop(L, 1);
        }
        count = code_count;
        skip = static_cast<long>(luaL_optinteger(L, 3, 0));
    } else {
        codes[0] = static_cast<DWORD>(luaL_checkinteger(L, 2));
        count = static_cast<long>(luaL_optinteger(L, 3, 1));
        skip = static_cast<long>(luaL_optinteger(L, 4, 0));
    }
    set_plan(call, count, skip, codes, code_count, false);
    return 0;
}

int l_throw(lua_State* L)
{
    const int call = call_index(L, 1);
    const auto count = static_cast<long>(luaL_optinteger(L, 2, 1));
    const auto skip = static_cast<long>(luaL_optinteger(L, 3, 0));
    const DWORD none = 0;
    set_plan(call, count, skip, &none, 1, true);
    return 0;
}

int l_calls(lua_State* L)
{
    const int call = call_index(L, 1);
    long calls = 0;
    {
        std::lock_guard lock(g_lock);
        calls = g_plans[call].calls;
    }
    lua_pushinteger(L, calls);
    return 1;
}

int l_reset(lua_State*)
{
    std::lock_guard lock(g_lock);
    for (Plan& plan : g_plans)
        plan = Plan{};
    return 0;
}

int l_bindings(lua_State* L)
{
    for (const Binding& binding : g_bindings)
        lua_pushinteger(L, binding.count.load());
    return static_cast<int>(std::size(g_bindings));
}

int l_null_entry(lua_State* L)
{
    lua_pushlightuserdata(L, nullptr);
    lua_pushcclosure(L, call_trampoline, 1);
    return 1;
}

}  // namespace

namespace sys {

HMODULE system_library(const wchar_t* name)
{
    for (Binding& binding : g_bindings)
        if (_wcsicmp(name, binding.dll) == 0)
            ++binding.count;
    return loaded_or_load(name);
}

BOOL create_pipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES sa, DWORD size)
{
    return through(kCreatePipe, FALSE, CreatePipe, read, write, sa, size);
}

HANDLE create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templ)
{
    return through(kCreateFile, INVALID_HANDLE_VALUE, CreateFileW, name, access, share, sa,
                   disposition, flags, templ);
}

BOOL set_handle_information(HANDLE h, DWORD mask, DWORD flags)
{
    return through(kSetHandleInformation, FALSE, SetHandleInformation, h, mask, flags);
}

BOOL initialize_attribute_list(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags,
                               PSIZE_T size)
{
    return through(kInitializeAttributeList, FALSE, InitializeProcThreadAttributeList, list, count,
                   flags, size);
}

BOOL update_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                      PVOID value, SIZE_T size, PVOID previous, PSIZE_T returned)
{
    return through(kUpdateAttribute, FALSE, UpdateProcThreadAttribute, list, flags, attribute,
                   value, size, previous, returned);
}

BOOL create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_sa,
                    LPSECURITY_ATTRIBUTES thread_sa, BOOL inherit, DWORD flags, LPVOID env,
                    LPCWSTR cwd, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    return through(kCreateProcess, FALSE, CreateProcessW, application, command_line, process_sa,
                   thread_sa, inherit, flags, env, cwd, startup, info);
}

BOOL assign_process_to_job(HANDLE job, HANDLE process)
{
    return through(kAssignProcessToJob, FALSE, AssignProcessToJobObject, job, process);
}

DWORD resume_thread(HANDLE thread)
{
    return through(kResumeThread, static_cast<DWORD>(-1), ResumeThread, thread);
}

BOOL empty_clipboard(const User32Bindings& user)
{
    return through(kEmptyClipboard, FALSE, user.empty_clipboard);
}

HANDLE get_clipboard_data(const User32Bindings& user, UINT format)
{
    return through(kGetClipboardData, nullptr, user.get_clipboard_data, format);
}

HANDLE set_clipboard_data(const User32Bindings& user, UINT format, HANDLE data)
{
    return through(kSetClipboardData, nullptr, user.set_clipboard_data, format, data);
}

HGLOBAL global_alloc(UINT flags, SIZE_T bytes)
{
    return through(kGlobalAlloc, nullptr, GlobalAlloc, flags, bytes);
}

LPVOID global_lock(HGLOBAL block) { return through(kGlobalLock, nullptr, GlobalLock, block); }

// Code 122 stands for a path longer than the buffer: the buffer is filled
// and its full size returned, as the system does.  Any other code fails the
// call outright.
DWORD get_module_file_name(HMODULE module, LPWSTR buffer, DWORD size)
{
    DWORD code = 0;
    if (!planned_failure(kGetModuleFileName, code))
        return GetModuleFileNameW(module, buffer, size);
    SetLastError(code);
    if (code != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return 0;
    std::fill(buffer, buffer + size - 1, L'x');
    buffer[size - 1] = L'\0';
    return size;
}

}  // namespace sys
}  // namespace luamods::win32

LUAMODS_EXPORT int luaopen_win32_faults(lua_State* L)
{
    using namespace luamods::win32;
    static const luaL_Reg functions[] = {
        {"fail", l_fail},   {"throw", l_throw},           {"calls", l_calls},
        {"reset", l_reset}, {"null_entry", l_null_entry}, {"bindings", l_bindings},
        {nullptr, nullptr},
    };
    lua_createtable(L, 0, 6);
    luaL_register(L, nullptr, functions);
    return 1;
}
