---@meta win32
-- LuaLS definitions of the `win32` module (Windows only; library Pellor.dll,
-- entry point luaopen_win32).  Load it with
--   local win32 = require("win32")
-- Misuse of an argument raises a Lua error; an operating-system failure is
-- never raised but returned as the failure triple: nil, the Windows error
-- code (a non-negative integer) and the system's message in UTF-8.  In the
-- definitions below, a result marked `|nil` followed by `code?` and
-- `message?` is such a triple on failure.

---A Windows handle as a plain integer; the script owns every handle it gets
---and closes it with `close`.  0 and -1 are never valid.
---@alias win32.Handle integer

---A stream of a child: "pipe", "null", or (stdout and stderr) a file opened
---for appending.
---@class win32.Append
---@field append string path of the file; created when missing, never truncated

---@class win32.SpawnSpec
---@field command_line string the complete command line (required, non-empty)
---@field cwd? string working directory of the child
---@field env? string[] NAME=VALUE entries: the child's whole environment
---@field env_retry? boolean retry with the caller's environment when the block is refused
---@field no_window? boolean CREATE_NO_WINDOW
---@field new_group? boolean CREATE_NEW_PROCESS_GROUP
---@field breakaway? boolean CREATE_BREAKAWAY_FROM_JOB, dropped if refused
---@field jobs? win32.Handle[] jobs the child joins before it runs
---@field stdin? "pipe"|"null"
---@field stdout? "pipe"|"null"|win32.Append
---@field stderr? "pipe"|"null"|"stdout"|win32.Append

---@class win32.SpawnResult
---@field pid integer the child's process id
---@field process win32.Handle the child's process handle
---@field stdin? win32.Handle write end of the child's input pipe
---@field stdout? win32.Handle read end of the child's output pipe
---@field stderr? win32.Handle read end of the child's error pipe
---@field jobs_assigned? integer job assignments that succeeded (when jobs were given)
---@field job_error? integer error code of the first failed assignment

---@class win32.JobOptions
---@field kill_on_close? boolean closing the last handle ends the job's processes
---@field breakaway_ok? boolean children may leave the job (spawn's breakaway)

---@class win32.Console
---@field input_console boolean
---@field output_console boolean

---@class win32.KeyEvent
---@field type "key"
---@field down boolean
---@field vk integer virtual-key code
---@field scan integer scan code
---@field char integer UTF-16 unit, 0 when the key gives no character
---@field state integer control-key state
---@field rep integer repeat count

---@class win32.MouseEvent
---@field type "mouse"
---@field x integer
---@field y integer
---@field buttons integer button state
---@field flags integer control-key state
---@field state integer event flags (1 moved, 2 double click, 4 wheel, ...)

---@class win32.ResizeEvent
---@field type "resize"

---@class win32.OtherEvent
---@field type "other"
---@field event_type integer the system's event type (8 menu, 16 focus)

---@alias win32.ConsoleEvent win32.KeyEvent|win32.MouseEvent|win32.ResizeEvent|win32.OtherEvent

---@class win32
local win32 = {}

---Starts a child process with redirected standard streams.
---Raises for a malformed request, e.g. "win32.spawn: spec.command_line is
---required and must be a non-empty string".
---@param request win32.SpawnSpec
---@return win32.SpawnResult|nil result
---@return integer? code
---@return string? message
function win32.spawn(request) end

---Waits for a handle: true when signalled, false on time-out.  A negative
---timeout waits without limit; the default is 2147483647 ms.
---@param handle win32.Handle
---@param timeout_ms? integer
---@return boolean|nil signalled
---@return integer? code
---@return string? message
function win32.wait(handle, timeout_ms) end

---The exit code of a process, or "running".
---@param process win32.Handle
---@return integer|"running"|nil exit_code
---@return integer? code
---@return string? message
function win32.exit_code(process) end

---Terminates a process (exit code default 1); does not wait.
---@param process win32.Handle
---@param exit_code? integer
---@return true|nil ok
---@return integer? code
---@return string? message
function win32.terminate(process, exit_code) end

---Opens a process by id.
---@param pid integer
---@param access "query"|"wait"|"terminate"
---@return win32.Handle|nil handle
---@return integer? code
---@return string? message
function win32.open_process(pid, access) end

---Opens, terminates (exit code default 1) and closes a process by id.
---@param pid integer
---@param exit_code? integer
---@return true|nil ok
---@return integer? code
---@return string? message
function win32.kill(pid, exit_code) end

---Whether a process id names a running process; a single nil when the
---process exists but may not be opened.
---@param pid integer
---@return boolean|nil alive
---@return integer? code
---@return string? message
function win32.pid_alive(pid) end

---Creation time of a process, in seconds since 1970-01-01 UTC.
---@param pid integer
---@return number|nil seconds
---@return integer? code
---@return string? message
function win32.process_started_at(pid) end

---The id of the calling process.
---@return integer pid
function win32.current_pid() end

---Closes a handle; true or false, never raises.
---@param handle any
---@return boolean closed
function win32.close(handle) end

---Bytes waiting in a pipe.  A drained pipe whose writer is gone gives the
---failure triple with code 109.
---@param pipe win32.Handle
---@return integer|nil available
---@return integer? code
---@return string? message
function win32.peek(pipe) end

---Reads what a pipe holds, up to `max` bytes (default 65536), without
---waiting: "" when nothing is there; the failure triple with code 109 at
---the end of the stream.
---@param pipe win32.Handle
---@param max? integer
---@return string|nil data
---@return integer? code
---@return string? message
function win32.read(pipe, max) end

---Writes a whole string (blocks while the pipe is full).
---@param handle win32.Handle
---@param data string
---@return integer|nil written
---@return integer? code
---@return string? message
function win32.write(handle, data) end

---The state of this process's own standard input.
---@return "eof"|"data"|"idle"|"other" state
function win32.stdin_state() end

---Creates a job object.
---@param options? win32.JobOptions
---@return win32.Handle|nil job
---@return integer? code
---@return string? message
function win32.job_create(options) end

---Assigns a process to a job.
---@param job win32.Handle
---@param process win32.Handle
---@return true|nil ok
---@return integer? code
---@return string? message
function win32.job_assign(job, process) end

---Terminates every process of a job (exit code default 1).
---@param job win32.Handle
---@param exit_code? integer
---@return true|nil ok
---@return integer? code
---@return string? message
function win32.job_terminate(job, exit_code) end

---The number of active processes in a job.
---@param job win32.Handle
---@return integer|nil count
---@return integer? code
---@return string? message
function win32.job_active_count(job) end

---The process environment as NAME=VALUE strings.
---@return string[]|nil entries
---@return integer? code
---@return string? message
function win32.environ() end

---One environment variable; a single nil when it is not set.
---@param name string
---@return string|nil value
---@return integer? code
---@return string? message
function win32.getenv(name) end

---Sets (or, with a nil value, removes) a variable in the process and in the
---C runtime's copy.  Never returns the failure triple.
---@param name string
---@param value? string|number
---@return boolean system_ok
---@return boolean crt_ok
---@return integer code 0, or the error of the system call
function win32.setenv(name, value) end

---The process command line, wide form as UTF-8 ("W") or the ANSI bytes ("A").
---@param kind "W"|"A"
---@return string command_line
function win32.command_line(kind) end

---The full path of the host executable.
---@return string|nil path
---@return integer? code
---@return string? message
function win32.module_path() end

---Whether a path names a directory; a missing path gives the failure triple.
---@param path string
---@return boolean|nil is_directory
---@return integer? code
---@return string? message
function win32.is_directory(path) end

---Whether standard input and output are consoles.
---@return win32.Console info
function win32.console() end

---The console mode of standard input or output.
---@param which "in"|"out"
---@return integer|nil mode
---@return integer? code
---@return string? message
function win32.console_mode(which) end

---Sets a console mode; returns true and the mode then in force.
---@param which "in"|"out"
---@param mode integer
---@return true|nil ok
---@return integer mode_or_code
---@return string? message
function win32.set_console_mode(which, mode) end

---Columns and rows of the visible console window.
---@return integer|nil columns
---@return integer rows_or_code
---@return string? message
function win32.console_size() end

---Writes UTF-8 text to the console; returns the UTF-16 units written.
---@param text string
---@return integer|nil units
---@return integer? code
---@return string? message
function win32.console_write(text) end

---The number of unread console input events.
---@return integer|nil count
---@return integer? code
---@return string? message
function win32.console_pending() end

---Reads one console input event; nil when none is pending (without wait)
---or at the end of input.  With `wait` it blocks until an event arrives.
---@param wait? boolean
---@return win32.ConsoleEvent|nil event
---@return integer? code
---@return string? message
function win32.read_console_event(wait) end

---Reads one key press from the console without echo, as one UTF-16 unit
---(extended keys come as 0 or 224, then the key code).  Blocks.
---Raises "win32.getwch: input is at end of file".
---@return integer unit
function win32.getwch() end

---Whether a key press is waiting for `getwch`.
---@return boolean waiting
function win32.kbhit() end

---Whether a virtual key is down at this moment.
---@param vk integer
---@return boolean down
function win32.key_down(vk) end

---The clipboard's Unicode text ("" when it holds none).
---@return string|nil text
---@return integer? code
---@return string? message
function win32.clipboard_get() end

---Puts Unicode text on the clipboard.
---@param text string
---@return true|nil ok
---@return integer? code
---@return string? message
function win32.clipboard_set(text) end

---The module's name, "win32".
win32._NAME = "win32"

---The module's interface version, 1.
win32._ABI = 1

return win32
