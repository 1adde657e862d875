// The frame every win32 function shares: the failure triple, handle and
// integer arguments and pushing strings built in C++.
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
// objects normally and is turned into a Lua error by call_trampoline
// (module.cpp).
#pragma once

#include <lua.hpp>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace luamods::win32 {

// Pushes nil, the code (unsigned) and the system's message for it; returns 3.
int push_windows_error(lua_State* L, DWORD code);

// An integer argument that may name a handle: 0 and -1 raise, and so does a
// number that is no 64-bit integer (NaN, an infinity, 2^63 or more).
HANDLE check_handle_arg(lua_State* L, int index);

// Integer arguments.  Lua numbers are doubles here, and converting NaN, an
// infinity or a value beyond 64 bits to an integer is undefined in C++ (x64
// gives INT64_MIN, which turned 2^70 into a negative count).  So every integer
// argument of the module is read by one of these, the host's own argument
// error still covering a missing or non-numeric value.  Fractions are cut
// towards zero, as the host's integer conversion does.
//
// A count or an interval: NaN raises; anything beyond the 64-bit range, the
// infinities included, saturates to INT64_MIN or INT64_MAX, so that the
// caller's own rule for negative and for large values covers it too.
lua_Integer check_saturated_arg(lua_State* L, int index);
lua_Integer opt_saturated_arg(lua_State* L, int index, lua_Integer fallback);

// An exit code, process id, mode or key code: the low 32 bits of the exact
// integer value (so 2^32 + 5 gives 5 and -1 gives 0xFFFFFFFF).  NaN and the
// infinities have no low bits and raise.
DWORD check_low32_arg(lua_State* L, int index);
DWORD opt_low32_arg(lua_State* L, int index, DWORD fallback);

// Text handed to Windows as a NUL-terminated UTF-16 string ends at its first
// zero: whatever follows (a flag on a command line, a path component, a second
// environment entry) would vanish without a word.  Such text is refused with
// "win32.<function>: <what> contains a zero byte".
inline bool has_zero_byte(const char* text, std::size_t length) noexcept
{
    return length != 0 && std::memchr(text, 0, length) != nullptr;
}
void check_no_zero_byte(lua_State* L, const char* function, const char* what, const char* text,
                        std::size_t length);

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
