-- Handles and memory over many calls, and no handle of one spawn reaching
-- another child while several threads spawn at once.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local T = W.T
local w = W.module()

W.run(w, { command_line = W.cmd("exit:0") })  -- first-launch handles of the system

T.case("500 spawn/read/wait/close cycles leave the handle count unchanged", function()
  local before = W.handle_count()
  for i = 1, 500 do
    local request = { command_line = W.cmd("echo"), stdin = "pipe", stdout = "pipe",
      stderr = i % 2 == 0 and "stdout" or "pipe" }
    local r, code = W.spawn(w, request)
    assert(r, code)
    T.eq(w.write(r.stdin, "cycle " .. i), #("cycle " .. i))
    w.close(r.stdin)
    T.eq(W.drain(w, r.stdout), "cycle " .. i)
    T.eq(w.wait(r.process, W.PATIENCE_MS), true)
    T.eq(w.exit_code(r.process), 0)
    w.close(r.process); w.close(r.stdout)
    if r.stderr then w.close(r.stderr) end
  end
  T.eq(W.handle_count(), before)
end)

T.case("500 spawns that fail leave the handle count unchanged", function()
  local before = W.handle_count()
  for i = 1, 500 do
    W.triple(2, w.spawn({ command_line = "Z:\\no\\such\\child.exe", stdin = "pipe", stdout = "pipe",
      stderr = "pipe", env = { "A=1" } }))
  end
  T.eq(W.handle_count(), before)
end)

T.case("argument errors mid-read leave no handle and no memory behind", function()
  local env = {}
  for i = 1, 200 do env[i] = "NAME" .. i .. "=" .. string.rep("v", 100) end
  local function bad_spec(i)
    local s = { command_line = W.cmd("exit:0"), env = env, jobs = {}, stdin = "pipe", stdout = "pipe" }
    if i % 3 == 0 then s.stderr = 42
    elseif i % 3 == 1 then s.stderr = { append = "" }
    else s.jobs = { 5, "x" } end
    return s
  end
  local before = W.handle_count()
  for i = 1, 200 do pcall(w.spawn, bad_spec(i)) end
  collectgarbage(); collectgarbage()
  local mem0 = W.private_bytes()
  for i = 1, 5000 do
    local ok = pcall(w.spawn, bad_spec(i))
    T.eq(ok, false)
  end
  collectgarbage(); collectgarbage()
  local grown = W.private_bytes() - mem0
  -- A leaked block would be 5000 x ~20 KiB here.
  T.truthy(grown < 4 * 1024 * 1024, "memory grew by " .. grown .. " bytes")
  T.eq(W.handle_count(), before)
  -- A Lua error from an __index metamethod passes through unchanged.
  local request = setmetatable({ command_line = W.cmd("exit:0"), stdout = "pipe" }, {
    __index = function(_, k) if k == "stderr" then error("boom from __index", 0) end end })
  T.raises("boom from __index", w.spawn, request)
  T.eq(W.handle_count(), before)
end)

T.case("finalizers that call the module during a result's push do not disturb it", function()
  -- With the collector stepping on every allocation, pushing a result string
  -- runs finalizers, which here call functions that build result strings of
  -- their own on the same thread.
  local long = string.rep("0123456789abcdef", 1024)
  w.setenv("LUAMODS_REENTRY", long)
  local function garbage()
    for _ = 1, 20 do
      local p = newproxy(true)
      getmetatable(p).__gc = function()
        w.peek(1)                                   -- a failure triple
        w.getenv("LUAMODS_REENTRY")
        w.command_line("W")
      end
    end
  end
  collectgarbage("setpause", 0)
  collectgarbage("setstepmul", 1000)
  local r = assert(w.spawn({ command_line = W.cmd("outn:2000000"), stdout = "pipe" }))
  local got, ok = {}, true
  for i = 1, 300 do
    garbage()
    ok = ok and w.getenv("LUAMODS_REENTRY") == long
    garbage()
    local a, code, msg = w.peek(1)
    ok = ok and msg ~= nil and not msg:find("[\r\n]") and #msg < 200
    garbage()
    local s = w.read(r.stdout)
    if s then got[#got + 1] = s end
  end
  local rest = W.drain(w, r.stdout)
  collectgarbage("setpause", 200)
  collectgarbage("setstepmul", 200)
  local data = table.concat(got) .. rest
  T.truthy(ok, "results intact")
  T.eq(#data, 2000000)
  local bad
  for i = 1, #data, 997 do
    if data:byte(i) ~= (i - 1) % 251 then bad = i; break end
  end
  T.eq(bad, nil, "pipe bytes intact")
  w.wait(r.process, W.PATIENCE_MS); w.close(r.process); w.close(r.stdout)
  w.setenv("LUAMODS_REENTRY")
end)

T.case("no cross-inheritance: two spawning threads and a long-lived third child", function()
  -- Each thread spawns, in turn, a child it checks at once and a holder
  -- that lives until both threads are done.  Had a holder (or the third
  -- child, started first) inherited a pipe end of a checked child, that
  -- child's reader would not see 109, or the child would not see the end of
  -- its input, for as long as the holder lives; had a child inherited a
  -- holder's input, that holder would not end when its input is closed.
  -- So a leak is a wait that never ends, not a slow cycle.
  local CYCLES = 8
  local long = assert(W.spawn(w, { command_line = W.cmd("wait"), stdin = "pipe", stdout = "pipe",
    stderr = "pipe" }))
  local worker = [[
    local cycles, tag, path = ...
    package.path = path
    local W = require("w32")
    local w = W.module()
    local n, worst, holders = 0, 0, {}
    for _ = 1, cycles do
      local h = assert(W.spawn(w, { command_line = W.cmd("wait"), stdin = "pipe" }))
      holders[#holders + 1] = h.stdin .. " " .. h.process
      local r = assert(W.spawn(w, { command_line = W.cmd("echo"), stdin = "pipe", stdout = "pipe",
        stderr = "pipe" }))
      local t0 = host.clock()
      w.write(r.stdin, tag)
      w.close(r.stdin)
      local out, code = W.drain(w, r.stdout)
      assert(out == tag and code == 109, "read " .. tostring(out) .. " " .. tostring(code))
      assert(select(2, W.drain(w, r.stderr)) == 109)
      assert(w.wait(r.process, W.PATIENCE_MS) == true, "child did not see the end of its input")
      local lag = host.clock() - t0
      if lag > worst then worst = lag end
      w.close(r.process); w.close(r.stdout); w.close(r.stderr)
      n = n + 1
    end
    return n, worst, table.concat(holders, " ")
  ]]
  local t1 = host.start(worker, CYCLES, "thread-one", package.path)
  local t2 = host.start(worker, CYCLES, "thread-two", package.path)
  local ok1, n1, worst1, held1 = host.join(t1)
  local ok2, n2, worst2, held2 = host.join(t2)
  T.eq(w.exit_code(long.process), "running", "the third child outlived the loops")
  T.truthy(ok1, tostring(n1))
  T.truthy(ok2, tostring(n2))
  T.eq(n1, CYCLES, "cycles of thread one")
  T.eq(n2, CYCLES, "cycles of thread two")
  print(string.format("     slowest cycle %.2f s, %.2f s", worst1, worst2))
  local handles = {}
  for h in (held1 .. " " .. held2 .. " " .. long.stdin .. " " .. long.process):gmatch("%S+") do
    handles[#handles + 1] = tonumber(h)
  end
  for i = 1, #handles, 2 do w.close(handles[i]) end
  for i = 2, #handles, 2 do
    T.eq(w.wait(handles[i], W.PATIENCE_MS), true, "a holder ended with its input")
    w.close(handles[i])
  end
  W.drain(w, long.stdout)
  W.drain(w, long.stderr)
  w.close(long.stdout); w.close(long.stderr)
end)

T.finish()
