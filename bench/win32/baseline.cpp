// The baselines of the win32 benchmark: the same work done with bare system
// calls from C++, timed in C++ and called from the benchmark script so that
// both sides are measured in one run.
//
//   spawn_loop(command_line, n) -> seconds for n x CreateProcessW +
//       WaitForSingleObject + CloseHandle (process and thread)
//   read_loop(command_line [, peek]) -> seconds, bytes: starts the command
//       with its standard output on a pipe and drains it with blocking
//       ReadFile calls of 64 KiB; with peek, with the calls read makes
//       (PeekNamedPipe, then ReadFile of what is there, asking again at once
//       when nothing is)

#include <windows.h>
#include <lua.hpp>

#include <string>
#include <vector>

#include "luamods_export.hpp"

namespace {

double now()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

std::wstring wide(const char* s)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    return w;
}

int l_spawn_loop(lua_State* L)
{
    const char* command = luaL_checkstring(L, 1);
    const lua_Integer n = luaL_checkinteger(L, 2);
    bool ok = true;
    double seconds = 0;
    {
        std::wstring line = wide(command);
        const double t0 = now();
        for (lua_Integer i = 0; i < n && ok; ++i) {
            std::wstring buffer = line;
            STARTUPINFOW si{};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi{};
            ok = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &si, &pi) != 0;
            if (ok) {
                WaitForSingleObject(pi.hProcess, INFINITE);
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
        }
        seconds = now() - t0;
    }
    if (!ok)
        return luaL_error(L, "CreateProcessW failed");
    lua_pushnumber(L, seconds);
    return 1;
}

int l_read_loop(lua_State* L)
{
    const char* command = luaL_checkstring(L, 1);
    const bool peek = lua_toboolean(L, 2) != 0;
    bool ok = true;
    double seconds = 0;
    unsigned long long total = 0;
    {
        std::wstring line = wide(command);
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE read_end = nullptr, write_end = nullptr;
        ok = CreatePipe(&read_end, &write_end, &sa, 0) != 0;
        if (ok) {
            SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
            STARTUPINFOW si{};
            si.cb = sizeof si;
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdOutput = write_end;
            si.hStdError = write_end;
            PROCESS_INFORMATION pi{};
            const double t0 = now();
            ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &si, &pi) != 0;
            CloseHandle(write_end);
            if (ok) {
                std::vector<char> buffer(65536);
                DWORD got = 0;
                if (!peek) {
                    while (ReadFile(read_end, buffer.data(), 65536, &got, nullptr) && got > 0)
                        total += got;
                } else {
                    DWORD available = 0;
                    while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) {
                        if (available == 0)
                            continue;
                        const DWORD want = available < 65536 ? available : 65536;
                        if (!ReadFile(read_end, buffer.data(), want, &got, nullptr))
                            break;
                        total += got;
                    }
                }
                seconds = now() - t0;
                WaitForSingleObject(pi.hProcess, INFINITE);
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
            CloseHandle(read_end);
        }
    }
    if (!ok)
        return luaL_error(L, "baseline launch failed");
    lua_pushnumber(L, seconds);
    lua_pushnumber(L, static_cast<lua_Number>(total));
    return 2;
}

}  // namespace

LUAMODS_EXPORT int luaopen_win32_bench_baseline(lua_State* L)
{
    static const luaL_Reg functions[] = {
        {"spawn_loop", l_spawn_loop}, {"read_loop", l_read_loop}, {nullptr, nullptr}};
    lua_createtable(L, 0, 2);
    luaL_register(L, nullptr, functions);
    return 1;
}
