-- The module table, the shared conventions (handle arguments, the failure
-- triple) and the functions on existing processes.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local T = W.T
local w = W.module()

local NOT_A_HANDLE = "not a handle: 0 (NULL) and -1 (INVALID_HANDLE_VALUE) are never returned by win32"

local FUNCTIONS = {
  "spawn", "wait", "exit_code", "terminate", "open_process", "kill", "pid_alive",
  "process_started_at", "current_pid", "close", "peek", "read", "write", "stdin_state",
  "job_create", "job_assign", "job_terminate", "job_active_count", "environ", "getenv", "setenv",
  "command_line", "module_path", "is_directory", "console", "console_mode", "set_console_mode",
  "console_size", "console_write", "console_pending", "read_console_event", "getwch", "kbhit",
  "key_down", "clipboard_get", "clipboard_set",
}

T.case("module table: the functions, _NAME and _ABI, nothing else", function()
  local expected = { _NAME = "win32", _ABI = 1 }
  for _, name in ipairs(FUNCTIONS) do expected[name] = "function" end
  local n = 0
  for k, v in pairs(w) do
    n = n + 1
    if type(v) == "function" then
      T.eq(expected[k], "function", "field " .. k)
    else
      T.eq(v, expected[k], "field " .. k)
    end
  end
  T.eq(#FUNCTIONS, 36)
  T.eq(n, 38, "field count")
  -- Each open builds a new table of new closures.
  local again = W.module()
  T.truthy(again ~= w and again.spawn ~= w.spawn, "fresh table per open")
end)

T.case("handle arguments: 0 and -1 raise, 1 and -2 reach Windows", function()
  local takes_handle = {
    { "wait" }, { "exit_code" }, { "terminate" }, { "peek" }, { "read" }, { "write", "x" },
    { "job_assign", 5 }, { "job_terminate" }, { "job_active_count" },
  }
  for _, c in ipairs(takes_handle) do
    local f = w[c[1]]
    for _, bad in ipairs({ 0, -1 }) do
      T.raises(T.argerror(1, "?", NOT_A_HANDLE), f, bad, c[2])
    end
  end
  T.raises(T.argerror(1, "?", "number expected, got no value"), w.wait)
  T.raises(T.argerror(1, "?", "number expected, got string"), w.peek, "x")
  -- 1 is no handle here; -2 is the current thread's pseudo-handle, which is
  -- neither a pipe nor a process nor writable.
  W.triple(6, w.peek(1))
  W.triple(6, w.read(-2))
  W.triple(6, w.write(-2, "x"))
  W.triple(6, w.terminate(-2))
  W.triple(6, w.wait(1, 0))
  W.triple(6, w.exit_code(1))
end)

T.case("integer arguments: NaN, the infinities and 2^63 or more, in every function", function()
  local nan, inf, big = 0 / 0, math.huge, 2 ^ 70
  local r = assert(w.spawn({ command_line = W.cmd("out:abc"), stdout = "pipe" }))
  T.eq(w.wait(r.process, W.PATIENCE_MS), true)
  local h, job, me = r.process, W.job(), w.current_pid()
  local function no_integer(n, got) return T.argerror(n, "?", "integer expected, got " .. got) end
  -- Each row: function, arguments, then the error it raises (a string) or
  -- its first result (anything else).  Counts and intervals saturate; exit
  -- codes, ids, modes and keys take the low 32 bits and refuse what has none;
  -- a handle must be a 64-bit integer.
  local rows = {
    { "wait", { h, inf }, true },  -- at most 2147483647 ms; the process has ended
    { "wait", { h, -inf }, true },  -- negative: without limit
    { "wait", { h, big }, true },
    { "wait", { h, nan }, no_integer(2, "NaN") },
    { "read", { r.stdout, inf }, "abc" },  -- 2^32 or more caps nothing
    { "read", { r.stdout, -inf }, "win32.read: max must not be negative" },
    { "read", { r.stdout, nan }, no_integer(2, "NaN") },
    { "terminate", { h, nan }, no_integer(2, "NaN") },
    { "terminate", { h, inf }, no_integer(2, "inf") },
    { "terminate", { h, -inf }, no_integer(2, "-inf") },
    { "job_terminate", { job, nan }, no_integer(2, "NaN") },
    { "kill", { me, inf }, no_integer(2, "inf") },
    { "kill", { -inf }, no_integer(1, "-inf") },
    { "open_process", { nan, "query" }, no_integer(1, "NaN") },
    { "pid_alive", { inf }, no_integer(1, "inf") },
    { "pid_alive", { me + 3 * 2 ^ 32 }, true },
    { "pid_alive", { me - 2 ^ 32 }, true },
    { "process_started_at", { nan }, no_integer(1, "NaN") },
    { "set_console_mode", { "bad", nan }, no_integer(2, "NaN") },
    { "key_down", { -inf }, no_integer(1, "-inf") },
    { "exit_code", { nan }, no_integer(1, "NaN") },
    { "peek", { inf }, no_integer(1, "inf") },
    { "job_assign", { job, big }, T.argerror(2, "?", "not a handle: beyond the 64-bit integer range") },
    { "job_active_count", { -big }, T.argerror(1, "?", "not a handle: beyond the 64-bit integer range") },
    { "write", { 2 ^ 63, "x" }, T.argerror(1, "?", "not a handle: beyond the 64-bit integer range") },
    { "close", { nan }, false },
    { "close", { inf }, false },
    { "close", { big }, false },
  }
  for _, row in ipairs(rows) do
    local name, args, expected = row[1], row[2], row[3]
    local what = name .. "(" .. table.concat(args, ", ") .. ")"
    if type(expected) == "string" and (expected:match("^bad argument") or expected:match("^win32")) then
      local ok, err = pcall(w[name], unpack(args))
      T.eq(ok, false, what .. " raises")
      T.eq((err:gsub("^[^\n]-:%d+: ", "", 1)), expected, what)
    else
      T.eq((w[name](unpack(args))), expected, what)
    end
  end
  T.raises(T.argerror(2, "?", "number expected, got string"), w.wait, h, "soon")
  w.close(r.process); w.close(r.stdout); w.close(job)
end)

T.case("failure triple: system text without trailing CR/LF", function()
  local a, code, msg = w.peek(1)
  T.eq(a, nil)
  T.eq(code, 6)
  T.truthy(#msg > 0 and not msg:find("[\r\n]"), "message " .. msg)
  T.eq(msg:sub(-1), ".", "the system's full stop stays")
  -- A spawn of a missing program: code 2 with the system's text.
  local _, code2, msg2 = w.spawn({ command_line = "Z:\\no\\such\\program.exe" })
  T.eq(code2, 2)
  T.truthy(not msg2:find("[\r\n]$") and not msg2:match("^Windows error"), msg2)
end)

T.case("wait: polls, waits, clamps large values, negative waits without limit", function()
  -- The child runs until its standard input ends, then 300 ms more: the
  -- polls cannot see it end, and a poll that waited would never return.
  local r = assert(w.spawn({ command_line = W.cmd("wait", "sleep:300"), stdin = "pipe" }))
  T.eq(w.wait(r.process, 0), false, "poll")
  T.eq(w.wait(r.process, 50), false, "short timeout")
  local t0 = host.clock()
  w.close(r.stdin)
  -- 2^32 must not wrap to a zero wait.
  T.eq(w.wait(r.process, 4294967296), true, "clamped long wait")
  T.truthy(host.clock() - t0 > 0.25, "waited for the child")
  w.close(r.process)

  r = assert(w.spawn({ command_line = W.cmd("sleep:100") }))
  T.eq(w.wait(r.process, -1), true, "infinite")
  T.eq(w.wait(r.process), true, "default timeout on an ended process")
  T.eq(w.wait(r.process, 3000000000), true)
  w.close(r.process)
end)

T.case("exit_code: running, 0, 259, 0xC0000005 unsigned", function()
  local r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER) }))
  T.eq(w.exit_code(r.process), "running")
  T.eq(w.terminate(r.process, 0), true)
  w.wait(r.process, -1)
  T.eq(w.exit_code(r.process), 0)
  w.close(r.process)
  for _, code in ipairs({ 259, 3221225477, 4294967295, 7 }) do
    local _, _, got = W.run(w, { command_line = W.cmd("exit:" .. code) })
    T.eq(got, code, "exit code " .. code)
  end
end)

T.case("terminate and kill: default exit code 1, given codes", function()
  local r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER) }))
  T.eq(w.terminate(r.process), true)
  T.eq(w.wait(r.process, W.PATIENCE_MS), true)
  T.eq(w.exit_code(r.process), 1)
  w.close(r.process)

  r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER) }))
  T.eq(w.terminate(r.process, 4294967295 + 1 + 42), true)  -- low 32 bits
  w.wait(r.process, W.PATIENCE_MS)
  T.eq(w.exit_code(r.process), 42)
  w.close(r.process)

  for _, given in ipairs({ false, 77 }) do
    r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER) }))
    if given then T.eq(w.kill(r.pid, given), true) else T.eq(w.kill(r.pid), true) end
    T.eq(w.wait(r.process, W.PATIENCE_MS), true)
    T.eq(w.exit_code(r.process), given or 1)
    w.close(r.process)
  end
  -- No such process: OpenProcess refuses with 87.
  W.triple(87, w.kill(0))
end)

T.case("open_process: access names, rights, refusals", function()
  local r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER) }))
  local msg = 'win32.open_process: access must be "query", "wait" or "terminate"'
  T.raises(msg, w.open_process, r.pid, "Query")
  T.raises(msg, w.open_process, r.pid, "WAIT")
  T.raises(msg, w.open_process, r.pid, "")
  T.raises(T.argerror(2, "?", "string expected, got no value"), w.open_process, r.pid)
  T.raises(T.argerror(1, "?", "number expected, got nil"), w.open_process, nil, "query")

  local q = assert(w.open_process(r.pid, "query"))
  T.truthy(math.floor(q) == q and q ~= 0 and q ~= -1, "a handle")
  -- Query rights alone cannot be waited on.
  W.triple(5, w.wait(q, 0))
  W.triple(5, w.exit_code(q))
  T.eq(w.close(q), true)

  local h = assert(w.open_process(r.pid, "wait"))
  T.eq(w.wait(h, 0), false)
  T.eq(w.exit_code(h), "running")
  local t = assert(w.open_process(r.pid, "terminate"))
  T.eq(w.terminate(t, 9), true)
  T.eq(w.wait(h, W.PATIENCE_MS), true)
  T.eq(w.exit_code(h), 9)
  w.close(t); w.close(h); w.close(r.process)
  W.triple(87, w.open_process(0, "query"))
end)

T.case("pid_alive: true, false, pid modulo 2^32", function()
  local me = w.current_pid()
  T.eq(me, tonumber(W.ffi.C.GetCurrentProcessId()))
  T.eq(w.pid_alive(me), true)
  T.eq(w.pid_alive(me + 4294967296), true, "low 32 bits")
  T.eq(w.pid_alive(0), false)
  local r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER) }))
  T.eq(w.pid_alive(r.pid), true)
  w.terminate(r.process)
  w.wait(r.process, W.PATIENCE_MS)
  -- Ended, but its object still exists while we hold the handle.
  T.eq(w.pid_alive(r.pid), false)
  w.close(r.process)
  T.eq(select("#", w.pid_alive(r.pid)), 1)
  T.eq(w.pid_alive(r.pid), false)
end)

T.case("process_started_at: within a second of the spawn", function()
  local before = os.time()
  local r = assert(w.spawn({ command_line = W.cmd("sleep:2000") }))
  local after = os.time()
  local started = assert(w.process_started_at(r.pid))
  T.truthy(started >= before - 1 and started <= after + 1,
    string.format("started %.3f, spawned between %d and %d", started, before, after))
  local mine = assert(w.process_started_at(w.current_pid()))
  T.truthy(mine <= started, "the host started first")
  w.terminate(r.process); w.wait(r.process, W.PATIENCE_MS); w.close(r.process)
  W.triple(87, w.process_started_at(0))
end)

T.case("close: never raises; numeric strings; twice is false", function()
  for _, v in ipairs({ 0, -1, "x", true, {} }) do T.eq(w.close(v), false) end
  T.eq(w.close(nil), false)
  T.eq(w.close(), false)
  local r = assert(w.spawn({ command_line = W.cmd("exit:0") }))
  w.wait(r.process, W.PATIENCE_MS)
  T.eq(w.close(tostring(r.process)), true, "numeric string closes")
  T.eq(w.close(r.process), false, "second close")
end)

T.finish()
