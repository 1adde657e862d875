-- A small test library for the Lua tests: cases that report by name, exact
-- error-message checks, module loading from the build's bin folder, and the
-- rendering of addresses as the C runtime's %p prints them.
local ffi = require("ffi")
local bit = require("bit")

local T = { passed = 0, failed = 0 }

-- Each line out at once: a test that fails and then hangs on a thread left
-- blocked still shows its failure when it is killed.
io.stdout:setvbuf("line")

T.windows = ffi.os == "Windows"

-- Loads a table from a module library of this build: T.load("Quandel", "luaopen_memory").
function T.load(file, entry)
  local path = (os.getenv("LUAMODS_BIN") or ".") .. "/" .. file .. (os.getenv("LUAMODS_SUFFIX") or ".so")
  local open, err = package.loadlib(path, entry)
  assert(open, err)
  return open()
end

-- The memory table under test: memory's own, or memory.fast (the same
-- functions through LuaJIT's FFI) when LUAMODS_MEMORY=fast, so that one test
-- body checks both.  T.classic_memory() is always memory's own.  Both come
-- from Quandel, or from the test build of it that LUAMODS_QUANDEL names.
T.quandel = os.getenv("LUAMODS_QUANDEL") or "Quandel"
function T.classic_memory() return T.load(T.quandel, "luaopen_memory") end
T.fast = os.getenv("LUAMODS_MEMORY") == "fast"
function T.memory()
  if T.fast then return require("memory.fast") end
  return T.classic_memory()
end
-- The memory.queue table under test: memory.queue's own, or memory.queue.fast
-- (its item functions through LuaJIT's FFI) when LUAMODS_QUEUE=fast.  The
-- one difference a test can see: the FFI hands out items as `void *` cdata
-- where memory.queue gives light userdata (T.item_type, T.same_address).
T.fast_queue = os.getenv("LUAMODS_QUEUE") == "fast"
T.item_type = T.fast_queue and "cdata" or "userdata"
function T.queue()
  if T.fast_queue then return require("memory.queue.fast") end
  return T.load(T.quandel, "luaopen_memory_queue")
end
function T.same_address(a, b)
  return ffi.cast("uintptr_t", a) == ffi.cast("uintptr_t", b)
end

-- Runs one named case; a failure is reported and counted, the run goes on.
function T.case(name, fn)
  local ok, err = xpcall(fn, debug.traceback)
  if ok then
    T.passed = T.passed + 1
    print("ok   " .. name)
  else
    T.failed = T.failed + 1
    print("FAIL " .. name .. "\n" .. tostring(err))
  end
end

local function show(v)
  if type(v) == "string" then return string.format("%q", v) end
  return tostring(v)
end

function T.eq(actual, expected, what)
  if actual ~= expected then
    error(string.format("%s: expected %s, got %s", what or "value", show(expected), show(actual)), 2)
  end
end

function T.truthy(v, what)
  if not v then error((what or "condition") .. " is false", 2) end
end

-- Calls fn and checks that it raises exactly `message` (or, for an argument
-- error, "bad argument #n to 'name' (message)").  The "chunk:line: " position
-- that luaL_error puts in front of a message is not part of the comparison.
function T.raises(message, fn, ...)
  local ok, err = pcall(fn, ...)
  if ok then error("expected the error " .. show(message) .. ", but the call succeeded", 2) end
  if type(err) == "string" then err = T.message(err) end
  if err ~= message then
    error(string.format("expected the error %s, got %s", show(message), show(err)), 2)
  end
end

-- An error message without the "chunk:line: " position luaL_error puts in front.
function T.message(err)
  if type(err) ~= "string" then return tostring(err) end
  return (err:gsub("^[^\n]-:%d+: ", "", 1))
end

function T.argerror(n, name, message)
  return string.format("bad argument #%d to '%s' (%s)", n, name, message)
end

-- The address as the C runtime's printf renders %p: 16 upper-case hex digits
-- on Windows, 0x and lower-case hex without leading zeros with glibc.
function T.fmt_p(p)
  local n = ffi.cast("uint64_t", ffi.cast("uintptr_t", p))
  local hex = bit.tohex(n, 16)
  if T.windows then return hex:upper() end
  if n == 0 then return "(nil)" end
  return "0x" .. hex:gsub("^0+", "")
end

-- Waiting for what another thread or process brings about.  No verdict
-- depends on how soon that happens: a test waits, or tries again, until it
-- has seen the event.  The bound only ends a run that can never see it, and
-- is far beyond what any healthy run needs on a loaded machine; the tests
-- that use it have a CTest timeout above it.
T.PATIENCE = 120  -- seconds

-- The test host's clock and sleep, or the threads module's under plain luajit.
local function timer()
  local h = rawget(_G, "host") or package.loaded.threads or require("threads")
  return h.clock, h.sleep
end

-- Polls cond() until it returns a true value and returns that value; sleeps
-- `pause` seconds (default 1 ms) between polls.  Raises "waited N s for
-- <what>" once `seconds` (default T.PATIENCE) have passed.
function T.wait_until(what, cond, seconds, pause)
  local clock, sleep = timer()
  local limit = seconds or T.PATIENCE
  local deadline = clock() + limit
  while true do
    local v = cond()
    if v then return v end
    if clock() > deadline then error(string.format("waited %g s for %s", limit, what), 2) end
    sleep(pause or 0.001)
  end
end

-- For an event a test cannot bring about at will, only make likely (a strike
-- that lands inside another thread's read): calls try(n) for n = 1, 2, ...
-- until it returns a true value, prints how many tries that took and returns
-- the value.  Each try must check its own outcome, whichever way the race
-- went.  Raises "no <what> in N tries" once `seconds` (default T.PATIENCE)
-- have passed.
function T.retry_until(what, try, seconds)
  local clock = timer()
  local deadline = clock() + (seconds or T.PATIENCE)
  local n = 0
  while true do
    n = n + 1
    local v = try(n)
    if v then
      print(string.format("     %s: seen at try %d", what, n))
      return v
    end
    if clock() > deadline then error(string.format("no %s in %d tries", what, n), 2) end
  end
end

-- A file's whole content, or nil when it cannot be opened.
function T.file_text(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local text = f:read("*a")
  f:close()
  return text
end

-- Byte strings as lower-case hex and back (spaces in the hex are ignored).
function T.hex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

function T.unhex(h)
  return (h:gsub("%s", ""):gsub("%x%x", function(x) return string.char(tonumber(x, 16)) end))
end

function T.finish()
  -- Run with a stand-in for the kernel that refuses the process-wide barrier
  -- (tests/memory/refuse_membarrier.c): the run must have met a refusal.
  if os.getenv("LUAMODS_EXPECT_BARRIER_REFUSED") then
    T.case("the process-wide barrier was refused and the library went on", function()
      ffi.cdef("unsigned long luamods_membarrier_refusals(void);")
      T.truthy(ffi.C.luamods_membarrier_refusals() > 0, "a refusal")
    end)
  end
  print(string.format("%d passed, %d failed", T.passed, T.failed))
  io.stdout:flush()
  -- Close the state on exit so that host threads are collected (no leak
  -- reports under the address sanitizer).
  os.exit(T.failed == 0 and 0 or 1, true)
end

return T
