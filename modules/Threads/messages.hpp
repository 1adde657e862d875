// Every message of threads, in one place.  Argument problems go through
// luaL_argerror ("bad argument #n to 'f' (<text>)"); the other texts begin
// with the name of the program that runs the threads (Runner::name: the
// threads library, or a host built on the same runner), given as the first
// %s.
#pragma once

namespace luamods::threads::msg {

// Arguments (luaL_argerror).
inline constexpr char kChunkExpected[] = "source text or a table with code or file expected";
inline constexpr char kCodeOrFile[] = "code or file expected";
inline constexpr char kCodeAndFile[] = "code and file exclude each other";
inline constexpr char kFieldType[] = "%s must be a string";    // the field's name
inline constexpr char kCannotCross[] = "%s expected, got %s";  // kCrossingTypes, the type's name
inline constexpr char kSeconds[] = "seconds must be between 0 and 1e7";
// join's time limit.
inline constexpr char kTimeoutType[] = "number expected, got %s";
inline constexpr char kTimeoutNaN[] = "timeout must not be NaN";
inline constexpr char kTimeoutNegative[] = "timeout must not be negative";

// start and join.
inline constexpr char kCannotOpen[] = "%s.start: cannot open %s: %s";  // file, the system's reason
inline constexpr char kStartNoStack[] = "%s.start: not enough stack to copy the arguments";
inline constexpr char kStartNoMemory[] = "%s.start: not enough memory";
inline constexpr char kArgumentRefused[] = "%s.start: argument %d";  // the path and reason follow
inline constexpr char kCannotStart[] = "%s.start: cannot start a thread: %s";
inline constexpr char kJoinedAlready[] = "%s.join: the thread has been joined already";
inline constexpr char kCannotJoin[] = "%s.join: cannot join the thread: %s";
inline constexpr char kTooManyResults[] = "%s.join: too many results (%d)";
inline constexpr char kJoinTimeout[] =
    "timeout";  // the second result of a join whose limit expired
inline constexpr char kNamedFailure[] = "thread \"%s\" failed: ";  // before the thread's error

// The thread object: its type name, its name or address, its status.
inline constexpr char kNamedThread[] = "%s \"%s\" (%s)";
inline constexpr char kUnnamedThread[] = "%s: %p (%s)";
inline constexpr char kRunning[] = "running";
inline constexpr char kDone[] = "done";
inline constexpr char kFailed[] = "failed";

// What a thread leaves as its error.
inline constexpr char kResultRefused[] = "%s: result %d";  // the path and reason follow
inline constexpr char kResultCannotCross[] = "%s: result %d is a %s; a thread returns only %s";
inline constexpr char kTooManyArguments[] = "%s: too many arguments";
inline constexpr char kResultsNoStack[] = "%s: not enough stack to copy the results";
inline constexpr char kErrorObject[] = "(error object is a %s value)";
// Kept when the thread has no memory left to format one of its own.
inline constexpr char kNoMemoryForState[] = "threads: not enough memory to open a Lua state";
inline constexpr char kNoMemoryForError[] = "threads: not enough memory to keep the thread's error";
inline constexpr char kNoMemoryForResults[] =
    "threads: not enough memory to keep the thread's results";

// Opening the library.
inline constexpr char kCannotPin[] =
    "threads: cannot keep the library loaded for the life of the process";

}  // namespace luamods::threads::msg
