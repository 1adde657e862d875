// The C runtime's _wputenv_s, bound by name from ucrtbase.dll on the first
// setenv of the process, so that the runtime's own copy of the environment
// follows the process environment.
#pragma once

namespace luamods::win32 {

using CrtPutenv = int(__cdecl*)(const wchar_t* name, const wchar_t* value);

// The binding, resolved exactly once (concurrent first callers wait); null
// when ucrtbase.dll or the function cannot be found.
CrtPutenv crt_putenv() noexcept;

}  // namespace luamods::win32
