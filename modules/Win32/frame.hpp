// The frame every win32 function shares: the failure triple, handle and
// integer arguments.  Every function takes one of the two shapes of
// common/reply.hpp, inside the entry trampoline (module.cpp), which turns a
// C++ exception that escapes it into a Lua error with the function's name.
#pragma once

#include <windows.h>
#include <lua.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Win32/messages.hpp"
#include "common/args.hpp"
#include "common/reply.hpp"

namespace luamods::win32 {

// Pushes nil, the code (unsigned) and the system's message for it; returns 3.
// For functions that hold nothing when they fail.
int push_windows_error(lua_State* L, DWORD code);

// Pushes true and returns 1 when `ok`, else the failure triple of
// GetLastError(): for a system call whose success is the whole result.
int push_true_or_last_error(lua_State* L, BOOL ok);

// Pushes the DWORD that `get` reads from h (GetConsoleMode,
// GetExitCodeProcess, ...) and returns 1, else the failure triple of
// GetLastError().
int push_dword_or_last_error(lua_State* L, HANDLE h, BOOL(WINAPI* get)(HANDLE, DWORD*));

// An integer argument that may name a handle: 0 and -1 raise, and so does a
// number that is no 64-bit integer (NaN, an infinity, 2^63 or more).
HANDLE check_handle_arg(lua_State* L, int index);

// Integer arguments are read by the shared readers (common/args.hpp) in the
// module's words.  A count or an interval saturates (check_saturated_arg);
// an exit code, process id, mode or key code is the low 32 bits of the exact
// integer value (so 2^32 + 5 gives 5 and -1 gives 0xFFFFFFFF), and NaN and
// the infinities, which have no low bits, raise.
inline constexpr IntegerTexts kIntegerTexts{kIntegerNaN, kIntegerInf, kIntegerNegativeInf, nullptr};

inline DWORD check_low32_arg(lua_State* L, int index)
{
    return static_cast<DWORD>(check_wrapped_arg(L, index, kIntegerTexts, nullptr));
}
inline DWORD opt_low32_arg(lua_State* L, int index, DWORD absent)
{
    return is_present(L, index) ? check_low32_arg(L, index) : absent;
}

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
// A string argument that names something to Windows: "" raises `empty`, a
// zero byte the text above.
const char* check_name_arg(lua_State* L, int index, std::size_t& length, const char* empty,
                           const char* function, const char* what);

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

// respond() hands C++ exceptions on to call_trampoline, which words them.
inline constexpr Wording kWin32 = kExceptionsToCaller;

// The failure triple as the reply: nil, the code and the system's message
// for it.  May throw (building the message).
void fail_with_windows_error(Reply& reply, DWORD code);

}  // namespace luamods::win32
