---@meta threads
-- LuaLS definitions of the `threads` module (library threads, entry point
-- luaopen_threads): local threads = require("threads").
-- Runs a chunk in a new Lua state on a new thread.  Only nil, booleans,
-- numbers, strings, light userdata (addresses, such as memory blocks and
-- queues), cdata pointers (arriving as light userdata) and tables of these
-- cross between states; tables are copied deeply, with their shape (shared
-- subtables, cycles), at most 100 levels deep, without metatables.  Misuse
-- raises Lua errors that name the path of what cannot cross; a chunk that
-- fails is reported by join.

---A value that can cross between Lua states (a table: keys string, number or
---boolean, values that cross, no metatable, at most 100 levels deep).
---@alias threads.Value nil|boolean|number|string|lightuserdata|ffi.cdata*|table

---A running or finished thread, owned by the state that started it.  Collected
---unjoined, it leaves the thread to its state, which joins it when it has
---finished or, at the latest, when the state closes.
---@class threads.thread
local thread = {}

---The same as `threads.join(self, timeout_ms)`.
---@param timeout_ms? number
---@return boolean? ok nil when the time limit expired
---@return any ... the results, or the error text, or "timeout"
function thread:join(timeout_ms) end

---The same as `threads.done(self)`.
---@return boolean
function thread:done() end

---The same as `threads.status(self)`.
---@return "running"|"done"|"failed"
function thread:status() end

---@class threads
local threads = {}

---Runs `chunk` (source text, `{code = text}` or `{file = path}`, either table
---with an optional `name` that tostring and a failed thread's error show) in a
---new Lua state on a new thread with the arguments.  The state opens the
---standard libraries, has this state's `package.path` and `package.cpath`,
---and a host record under the registry field `_env`.
---Raises argument errors, "threads.start: cannot open F: reason",
---"threads.start: cannot start a thread: reason", and for what cannot cross
---inside a table "threads.start: argument N<path>: ... cannot cross to
---another state".
---@param chunk string|{code: string, name?: string}|{file: string, name?: string}
---@param ... threads.Value
---@return threads.thread
function threads.start(chunk, ...) end

---Waits for the thread to end.  Returns true and the chunk's results, or
---false and the error text (with a stack traceback for a run-time error).
---With a time limit in milliseconds (0: do not wait; nil or 1e12 and more:
---no limit) it returns nil, "timeout" when the limit expires first, and the
---thread stays joinable.  Raises "threads.join: the thread has been joined
---already", and for the limit "timeout must not be negative", "timeout must
---not be NaN", "number expected, got T".
---@param t threads.thread
---@param timeout_ms? number
---@return boolean? ok nil when the time limit expired
---@return any ... the results, or the error text, or "timeout"
function threads.join(t, timeout_ms) end

---Whether the thread has ended (so that `join` will not wait); never waits.
---@param t threads.thread
---@return boolean
function threads.done(t) end

---"running" until the thread has ended, then "done" or "failed" (join returns
---false); never waits.
---@param t threads.thread
---@return "running"|"done"|"failed"
function threads.status(t) end

---Runs the clean-up callbacks that modules (memory, memory.queue) registered
---with this library's host record; returns how many ran.
---@return integer
function threads.cleanup() end

---Sleeps this thread for `seconds` (0 to 1e7).
---@param seconds number
function threads.sleep(seconds) end

---Seconds of a monotonic clock, for measuring intervals.
---@return number
function threads.clock() end

---The number of hardware threads (0 when unknown).
---@return integer
function threads.cores() end

return threads
