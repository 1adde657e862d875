-- A small test library for the Lua tests: cases that report by name, exact
-- error-message checks, module loading from the build's bin folder, and the
-- rendering of addresses as the C runtime's %p prints them.
local ffi = require("ffi")
local bit = require("bit")

local T = { passed = 0, failed = 0 }

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
-- body checks both.  T.classic_memory() is always memory's own.
function T.classic_memory() return T.load("Quandel", "luaopen_memory") end
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
  return T.load("Quandel", "luaopen_memory_queue")
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
  print(string.format("%d passed, %d failed", T.passed, T.failed))
  io.stdout:flush()
  -- Close the state on exit so that host threads are collected (no leak
  -- reports under the address sanitizer).
  os.exit(T.failed == 0 and 0 or 1, true)
end

return T
