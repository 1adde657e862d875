// Every text the win32 module raises or returns, in one list.  Scripts and
// tests match these texts exactly, so they change only here and only on
// purpose.  Those with a % are format strings for luaL_error or snprintf;
// their arguments are named beside them.
//
// Prefixes: "win32.<function>: " for a function's own misuse, "win32: " for
// what several functions share; the argument errors of the integer readers
// get the host's "bad argument #n to '<function>'" in front of them.
#pragma once

namespace luamods::win32 {

// The boundary: call_trampoline and the integer readers.
inline constexpr char kNoTarget[] = "win32: entry trampoline without a target";
inline constexpr char kCxxFailed[] = "win32.%s failed: %s";                      // function, what()
inline constexpr char kCxxUnknown[] = "win32.%s failed: unknown C++ exception";  // function
inline constexpr char kWindowsErrorFallback[] = "Windows error %lu";  // code without a text
inline constexpr char kIntegerNaN[] = "integer expected, got NaN";
inline constexpr char kIntegerInf[] = "integer expected, got inf";
inline constexpr char kIntegerNegativeInf[] = "integer expected, got -inf";
inline constexpr char kNotAHandle[] =
    "not a handle: 0 (NULL) and -1 (INVALID_HANDLE_VALUE) are never returned by win32";
inline constexpr char kHandleBeyondRange[] = "not a handle: beyond the 64-bit integer range";
inline constexpr char kZeroByte[] = "win32.%s: %s contains a zero byte";  // function, what

// spawn.  The stream texts take the field's name ("stdin", "stdout", "stderr").
inline constexpr char kSpawnStack[] = "win32.spawn";  // luaL_checkstack's "stack overflow (...)"
inline constexpr char kSpawnCommandLine[] =
    "win32.spawn: spec.command_line is required and must be a non-empty string";
inline constexpr char kSpawnCwd[] = "win32.spawn: spec.cwd is not valid UTF-8";
inline constexpr char kSpawnEnvZeroByte[] =
    "win32.spawn: spec.env[%d] contains a zero byte";  // index
inline constexpr char kSpawnStreamWord[] =
    "win32.spawn: %s must be \"pipe\", \"null\"%s, got \"%s\"";  // field, kSpawnOrAppend, value
inline constexpr char kSpawnOrAppend[] = " or {append=path}";    // not for stdin
inline constexpr char kSpawnStdinAppend[] = "win32.spawn: %s does not take {append=path}";
inline constexpr char kSpawnAppendPath[] = "win32.spawn: %s={append=path} needs a UTF-8 path";
inline constexpr char kSpawnAppendZeroByte[] = "win32.spawn: %s={append=path} contains a zero byte";
inline constexpr char kSpawnStreamType[] = "win32.spawn: %s must be a string or {append=path}";

// Processes and pipes.
inline constexpr char kOpenProcessAccess[] =
    "win32.open_process: access must be \"query\", \"wait\" or \"terminate\"";
inline constexpr char kReadNegativeMax[] = "win32.read: max must not be negative";

// Environment.
inline constexpr char kGetenvName[] = "win32.getenv: name is empty or not valid UTF-8";
inline constexpr char kSetenvName[] = "win32.setenv: name is empty or not valid UTF-8";
inline constexpr char kDirectoryPath[] = "win32.is_directory: path is not valid UTF-8";
inline constexpr char kCommandLineKind[] = "win32.command_line: kind must be \"W\" or \"A\"";

// Console and keyboard.
inline constexpr char kConsoleWhich[] = "win32: which must be \"in\" or \"out\"";
inline constexpr char kGetwchEnd[] = "win32.getwch: input is at end of file";
inline constexpr char kKeyStateUnavailable[] =
    "win32.key_down: GetAsyncKeyState is not available in this process";

// Clipboard.
inline constexpr char kClipboardGetUnavailable[] =
    "win32.clipboard_get: the clipboard entry points are not available";
inline constexpr char kClipboardSetUnavailable[] =
    "win32.clipboard_set: the clipboard entry points are not available";

}  // namespace luamods::win32
