// The frame every win32 function shares: the dispatch row, the failure triple,
// handle arguments and pushing strings built in C++.
//
// Every function keeps one shape, because a Lua error skips the destructors of
// the C++ frames it unwinds through (and catch (...) cannot see it):
//
//     read and check the arguments into plain values (may raise)
//     { C++ work with RAII objects; no Lua call that can raise }
//     push results or the failure triple (may raise; nothing with a
//     destructor is alive any more)
//
// A C++ exception thrown by the work (std::bad_alloc) unwinds the work's
// objects normally and is turned into a Lua error by call_trampoline.
#pragma once

#include <lua.hpp>
#include <windows.h>

#include <cstdint>
#include <string>

namespace luamods::win32 {

struct FunctionEntry {
    const char* name;
    lua_CFunction function;
};

inline constexpr const char* kNotAHandle =
    "not a handle: 0 (NULL) and -1 (INVALID_HANDLE_VALUE) are never returned by win32";

// The C closure of every module function; upvalue 1 points at its row.
int call_trampoline(lua_State* L);

// Pushes nil, the code (unsigned) and the system's message for it; returns 3.
int push_windows_error(lua_State* L, DWORD code);

// An integer argument that may name a handle: 0 and -1 raise.
HANDLE check_handle_arg(lua_State* L, int index);

inline void push_handle(lua_State* L, HANDLE h)
{
    lua_pushinteger(L, static_cast<lua_Integer>(reinterpret_cast<std::intptr_t>(h)));
}

inline HANDLE to_handle(lua_Integer value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

// Strings built in C++ reach Lua through a per-thread slot: `park` moves the
// bytes there inside the work scope, `push_parked` pushes and frees them after
// it.  If the push raises (Lua out of memory), the bytes stay owned by the
// slot, which the next park on this thread frees, instead of leaking.
// `parked` reads the slot (to push it in pieces) and `release_parked` frees
// it once those pushes are done.
void park(std::string&& bytes) noexcept;
void push_parked(lua_State* L);
const std::string& parked() noexcept;
void release_parked() noexcept;

}  // namespace luamods::win32
