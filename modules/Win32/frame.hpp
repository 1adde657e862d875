// The frame every win32 function shares: the failure triple, handle and
// integer arguments.
//
// Every function keeps one shape, because a Lua error skips the destructors of
// the C++ frames it unwinds through (and catch (...) cannot see it):
//
//     read and check the arguments into plain values (may raise)
//     do the work: inside respond(L, kWin32, ...) when it holds C++ objects
//     (strings, buffers, an open clipboard), whose reply pushes what they
//     hold while they live (common/reply.hpp); directly when it holds none
//     the results or the failure triple, once nothing with a destructor lives
//
// A C++ exception thrown by the work (std::bad_alloc) unwinds the work's
// objects normally and is turned into a Lua error by call_trampoline
// (module.cpp).
#pragma once

#include <windows.h>
#include <lua.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/reply.hpp"

namespace luamods::win32 {

// Pushes nil, the code (unsigned) and the system's message for it; returns 3.
// For functions that hold nothing when they fail.
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

inline void push_handle(lua_State* L, HANDLE h) { lua_pushinteger(L, handle_value(h)); }

// A handle that a system call returned is usable: neither NULL nor
// INVALID_HANDLE_VALUE (calls differ in which of the two means failure).
inline bool valid_handle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

inline HANDLE to_handle(lua_Integer value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

// Functions that hold C++ objects (strings, buffers, an open clipboard)
// answer through respond(L, kWin32, ...) (common/reply.hpp): strings built in
// C++ are pushed in protected mode while they are alive, and a C++ exception
// goes on to call_trampoline, which words it with the function's name.
inline constexpr Wording kWin32 = kExceptionsToCaller;

// The failure triple as the reply: nil, the code and the system's message
// for it.  May throw (building the message).
void fail_with_windows_error(Reply& reply, DWORD code);

}  // namespace luamods::win32
