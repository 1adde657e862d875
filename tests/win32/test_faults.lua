-- The test build of the module (PellorFaults): system calls made to fail with
-- chosen codes, or to throw, so that the launch fallbacks, the resume-failure
-- clean-up, every creation failure and the trampoline's C++ error path run
-- deterministically.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local T = W.T
local w, faults = W.faults_build()
-- The first launch and the first C++ exception of a process open handles
-- that stay (the system's and the runtime's, see docs/wine-differences.md);
-- start counting after both.
W.run(w, { command_line = W.cmd("exit:0") })
faults.throw("CreatePipe")
pcall(w.spawn, { command_line = W.cmd("exit:0"), stdout = "pipe" })
faults.reset()

local file_text = T.file_text

-- Runs fn with a fresh plan and checks that no handle is left behind.
local function clean(fn)
  return function()
    faults.reset()
    local before, types = W.handle_count(), W.handle_types()
    fn()
    faults.reset()
    local after = W.handle_count()
    if after ~= before then
      for h, name in pairs(W.handle_types()) do
        if types[h] ~= name then print(string.format("     new handle %d: %s", h, name)) end
      end
    end
    T.eq(after, before, "handles after the case")
  end
end

local ALL_PIPES = { stdin = "pipe", stdout = "pipe", stderr = "pipe" }
local function request(extra)
  local s = { command_line = W.cmd("env") }
  for k, v in pairs(ALL_PIPES) do s[k] = v end
  for k, v in pairs(extra or {}) do s[k] = v end
  return s
end

-- Spawns, reads the child's environment, cleans up.
local function env_of(s)
  local r, code, msg = w.spawn(s)
  if not r then return nil, code, msg end
  w.close(r.stdin)
  local out = W.drain(w, r.stdout)
  W.drain(w, r.stderr)
  w.wait(r.process, W.PATIENCE_MS)
  w.close(r.process); w.close(r.stdout); w.close(r.stderr)
  return out
end

T.case("breakaway fallback: a refusal with 5 drops the flag once", clean(function()
  faults.fail("CreateProcessW", 5)
  local out = assert(env_of(request({ breakaway = true })))
  T.truthy(out:find("LUAMODS_BIN=", 1, true), "child ran")
  T.eq(faults.calls("CreateProcessW"), 2)
  faults.reset()
  faults.fail("CreateProcessW", 5, 2)
  W.triple(5, w.spawn(request({ breakaway = true })))
  T.eq(faults.calls("CreateProcessW"), 2)
  -- Without breakaway, 5 is final at once.
  faults.reset()
  faults.fail("CreateProcessW", 5)
  W.triple(5, w.spawn(request()))
  T.eq(faults.calls("CreateProcessW"), 1)
end))

T.case("environment fallback: 87 and 123 with env_retry inherit the caller's environment", clean(function()
  for _, code in ipairs({ 87, 123 }) do
    faults.reset()
    faults.fail("CreateProcessW", code)
    local out = assert(env_of(request({ env = { "ONLY=1" }, env_retry = true })))
    T.truthy(out:find("LUAMODS_BIN=", 1, true) and not out:find("ONLY=1", 1, true), "inherited")
    T.eq(faults.calls("CreateProcessW"), 2)
    -- env_retry false: the code is returned.
    faults.reset()
    faults.fail("CreateProcessW", code)
    W.triple(code, w.spawn(request({ env = { "ONLY=1" } })))
    T.eq(faults.calls("CreateProcessW"), 1)
    -- No block in use: nothing to drop.
    faults.reset()
    faults.fail("CreateProcessW", code)
    W.triple(code, w.spawn(request({ env = { "unusable" }, env_retry = true })))
    T.eq(faults.calls("CreateProcessW"), 1)
  end
end))

T.case("both fallbacks, each once, in the order the errors come", clean(function()
  local both = { breakaway = true, env = { "ONLY=1" }, env_retry = true }
  for _, codes in ipairs({ { 5, 87 }, { 123, 5 } }) do
    faults.reset()
    faults.fail("CreateProcessW", codes)
    local out = assert(env_of(request(both)))
    T.truthy(out:find("LUAMODS_BIN=", 1, true), "third attempt ran")
    T.eq(faults.calls("CreateProcessW"), 3)
  end
  faults.reset()
  faults.fail("CreateProcessW", { 5, 87, 87 })
  W.triple(87, w.spawn(request(both)))
  T.eq(faults.calls("CreateProcessW"), 3)
  faults.reset()
  faults.fail("CreateProcessW", { 87, 87 })
  W.triple(87, w.spawn(request(both)))
  T.eq(faults.calls("CreateProcessW"), 2)
end))

T.case("resume failure: child and jobs terminated, triple with the resume error", clean(function()
  local path = W.bin .. "/win32_resume_test.txt"
  os.remove(path)
  local job1, job2 = W.job(), W.job()
  -- Another process already in job2 ends too.
  local other = assert(w.spawn({ command_line = W.cmd(W.SLEEPER), jobs = { job2 } }))
  T.eq(W.job_active(job2), 1)
  faults.fail("ResumeThread", 1450)
  W.triple(1450, w.spawn({ command_line = W.cmd("out:ran"), stdout = { append = W.winpath(path) },
    jobs = { job1, job2 } }))
  T.eq(W.job_active(job1), 0, "the child is gone")
  T.eq(w.wait(other.process, W.PATIENCE_MS), true, "the job's other process ended")
  T.eq(w.exit_code(other.process), 1)
  T.eq(file_text(path) or "", "", "the child never ran")
  w.close(other.process)
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job1))
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job2))
  os.remove(path)
end))

T.case("a failed assignment is reported, the child still runs", clean(function()
  local job = W.job()
  faults.fail("AssignProcessToJobObject", 5)
  local r = assert(w.spawn({ command_line = W.cmd("out:ok"), stdout = "pipe", jobs = { job, job } }))
  T.eq(r.jobs_assigned, 1)
  T.eq(r.job_error, 5)
  T.eq(W.drain(w, r.stdout), "ok")
  w.wait(r.process, W.PATIENCE_MS); w.close(r.process); w.close(r.stdout)
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job))
end))

T.case("every creation failure returns its code and closes what was made", clean(function()
  local cases = {
    { "CreatePipe", 8, 0 }, { "CreatePipe", 8, 2 },
    { "SetHandleInformation", 5, 0 }, { "SetHandleInformation", 5, 1 },
    { "InitializeProcThreadAttributeList", 1450, 1 },
    { "UpdateProcThreadAttribute", 87, 0 },
    { "CreateProcessW", 2, 0 },
  }
  for _, c in ipairs(cases) do
    faults.reset()
    faults.fail(c[1], c[2], 1, c[3])
    W.triple(c[2], w.spawn(request()))
  end
  -- NUL and append files.
  for skip = 0, 2 do
    faults.reset()
    faults.fail("CreateFileW", 32, 1, skip)
    W.triple(32, w.spawn({ command_line = W.cmd("exit:0") }))
  end
  -- An attribute-list size of 0 is reported as 122.
  faults.reset()
  faults.fail("InitializeProcThreadAttributeList", 0)
  W.triple(122, w.spawn(request()))
end))

T.case("failure triple: codes without text, codes at or above 2^31", clean(function()
  for _, code in ipairs({ 0xE0001234, 0x20001234, 4294967295 }) do
    faults.reset()
    faults.fail("CreateProcessW", code)
    local a, got, msg = w.spawn(request())
    T.eq(a, nil)
    T.eq(got, code, "unsigned code")
    T.eq(msg, "Windows error " .. string.format("%.0f", code))
  end
end))

T.case("C++ exceptions become \"win32.spawn failed: ...\" after the clean-up", clean(function()
  local job = W.job()
  for _, at in ipairs({ "CreatePipe", "CreateFileW", "UpdateProcThreadAttribute", "CreateProcessW",
                        "AssignProcessToJobObject", "ResumeThread" }) do
    faults.reset()
    faults.throw(at, 1, at == "CreatePipe" and 1 or 0)
    T.raises("win32.spawn failed: std::bad_alloc", w.spawn,
      { command_line = W.cmd(W.SLEEPER), stdin = "pipe", stdout = "pipe", stderr = { append = "NUL" },
        jobs = { job } })
  end
  -- A child created suspended before the exception is not left behind.
  T.eq(W.job_active(job), 0, "no suspended child left in the job")
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job))
  -- The module still works afterwards.
  faults.reset()
  local out = W.run(w, { command_line = W.cmd("out:fine") })
  T.eq(out, "fine")
end))

-- A finalizer that raises while spawn builds its result: the collector runs
-- a whole cycle at every allocation check, and the garbage proxy's __gc
-- raises at the first check inside spawn.  Nothing spawn created may stay.
local armed = false
local function garbage_raiser()
  local p = newproxy(true)
  getmetatable(p).__gc = function()
    if armed then armed = false; error("finalizer raised", 0) end
  end
end

T.case("an error raised by a finalizer during spawn leaves no handle behind", clean(function()
  local s = request({ command_line = W.cmd("exit:0") })
  local raised = 0
  collectgarbage("setpause", 0)
  collectgarbage("setstepmul", 1000000)
  collectgarbage("collect")
  for _ = 1, 20 do
    garbage_raiser()
    armed = true
    local ok, r = pcall(w.spawn, s)
    armed = false
    if ok then
      w.close(r.stdin); W.drain(w, r.stdout); W.drain(w, r.stderr)
      w.wait(r.process, W.PATIENCE_MS)
      w.close(r.process); w.close(r.stdout); w.close(r.stderr)
    else
      T.eq(r, "finalizer raised")
      raised = raised + 1
    end
  end
  collectgarbage("setpause", 200)
  collectgarbage("setstepmul", 200)
  collectgarbage("collect")
  T.truthy(raised > 0, "the finalizer raised inside spawn")
end))

T.case("jobs are taken as checked, whatever the table's __index does later", clean(function()
  local job = W.job()
  local jobs = { job }
  -- Reading the stream fields runs __index, which spoils the checked list.
  local s = setmetatable({ command_line = W.cmd("exit:0"), jobs = jobs }, {
    __index = function(_, k)
      if k == "stdin" then jobs[1] = 0; jobs[2] = "x" end
    end,
  })
  local r = assert(w.spawn(s))
  T.eq(r.jobs_assigned, 1)
  T.eq(r.job_error, nil)
  T.eq(w.wait(r.process, W.PATIENCE_MS), true)
  w.close(r.process)
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job))
end))

T.case("a closure without a target", function()
  T.raises("win32: entry trampoline without a target", faults.null_entry())
end)

T.finish()
