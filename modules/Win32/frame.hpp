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

inline lua_Integer handle_value(HANDLE h)
{
    return static_cast<lua_Integer>(reinterpret_cast<std::intptr_t>(h));
}

inline void push_handle(lua_State* L, HANDLE h)
{
    lua_pushinteger(L, handle_value(h));
}

// A handle that a system call returned is usable: neither NULL nor
// INVALID_HANDLE_VALUE (calls differ in which of the two means failure).
inline bool valid_handle(HANDLE h)
{
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// The low 32 bits of an integer argument (exit codes, ids, modes, keys).
inline DWORD low32(lua_Integer value)
{
    return static_cast<DWORD>(static_cast<unsigned long long>(value));
}

inline HANDLE to_handle(lua_Integer value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

// Strings built in C++ reach Lua through a ResultSlot: a full userdata pushed
// before the work begins (creating it may raise: nothing is held yet), which
// the work fills and from which the string is then pushed and freed.  The
// slot sits on the Lua stack meanwhile, so a garbage-collection step during
// the push, which may run finalizers that call this module again on the same
// thread, cannot touch the bytes; if the push raises (Lua out of memory), the
// slot's __gc frees them.  The slot stays below the function's results.
struct ResultSlot {
    std::string* bytes;
};

ResultSlot* push_result_slot(lua_State* L);
void fill_result_slot(ResultSlot* slot, std::string&& bytes);  // may throw
void release_result_slot(ResultSlot* slot) noexcept;
// Pushes the slot's bytes ("" when it holds none) and frees them.
void push_result(lua_State* L, ResultSlot* slot);

}  // namespace luamods::win32
