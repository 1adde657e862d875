-- memory: what a reader costs while realloc moves the block it reads.  Two
-- reader states call size() on a 1 GiB block in a loop while this state
-- grows it with realloc (retried while an access is open).  A call that
-- waited for the move (longer than a millisecond) is counted: its thread's
-- CPU time against its wall time.  Readers that spun through the move show
-- about 1; readers that slept through it, about 0.
--   LUAMODS_BIN=build/native/bin [LUAMODS_BASELINE_BIN=old/bin] luamods_host bench/memory/realloc_wait.lua [MiB [rounds]]
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. package.path
local B = require("benchlib").setup()

local MIB = tonumber(arg and arg[1]) or 1024
local ROUNDS = tonumber(arg and arg[2]) or 3

-- A reader: the wall and CPU seconds of its calls that waited.
local READER = "package.path = " .. string.format("%q", package.path) .. [=[

local path, p, ctl = ...
local ffi = require("ffi")
local m = assert(package.loadlib(path, "luaopen_memory"))()
local wall, cpu
if ffi.os == "Windows" then
  ffi.cdef[[
    int QueryPerformanceCounter(int64_t*); int QueryPerformanceFrequency(int64_t*);
    void* GetCurrentThread(void);
    int GetThreadTimes(void*, uint64_t*, uint64_t*, uint64_t*, uint64_t*);
  ]]
  local c, f = ffi.new("int64_t[1]"), ffi.new("int64_t[1]")
  ffi.C.QueryPerformanceFrequency(f)
  local freq = tonumber(f[0])
  wall = function() ffi.C.QueryPerformanceCounter(c); return tonumber(c[0]) / freq end
  local t = ffi.new("uint64_t[4]")
  cpu = function()
    ffi.C.GetThreadTimes(ffi.C.GetCurrentThread(), t, t + 1, t + 2, t + 3)
    return tonumber(t[2] + t[3]) * 1e-7
  end
else
  ffi.cdef[[
    struct timespec_ { long s, ns; };
    int clock_gettime(int, struct timespec_*);
  ]]
  local ts = ffi.new("struct timespec_")
  local function clock(id) ffi.C.clock_gettime(id, ts); return tonumber(ts.s) + tonumber(ts.ns) * 1e-9 end
  wall = function() return clock(1) end    -- CLOCK_MONOTONIC
  cpu = function() return clock(3) end     -- CLOCK_THREAD_CPUTIME_ID
end
local size = m.size
local waited_wall, waited_cpu, waits = 0, 0, 0
m.atomic_add_i32(ctl, 0, 1)
while m.atomic_i32(ctl, 4) == 0 do
  local w0, c0 = wall(), cpu()
  pcall(size, p)  -- unknown once moved
  local w = wall() - w0
  if w > 0.001 then
    waited_wall, waited_cpu, waits = waited_wall + w, waited_cpu + cpu() - c0, waits + 1
  end
end
return waited_wall, waited_cpu, waits
]=]

-- One move: the CPU share of the readers' waiting calls, the seconds they
-- waited, and the seconds the move took.
local function move(lib)
  local m = lib.m
  local p = m.alloc(MIB * 2 ^ 20)
  m.fill(p, 0, MIB * 2 ^ 20, 1)
  local ctl = m.alloc(8)
  m.fill(ctl, 0, 8, 0)
  local readers = { host.start(READER, lib.path, p, ctl), host.start(READER, lib.path, p, ctl) }
  while m.atomic_i32(ctl, 0) < #readers do end
  host.sleep(0.05)
  local t0 = host.clock()
  local q
  repeat
    local ok, r = pcall(m.realloc, p, (MIB + 64) * 2 ^ 20)
    if ok then q = r end
  until q
  local took = host.clock() - t0
  host.sleep(0.05)
  m.atomic_set_i32(ctl, 4, 1)
  local wall, cpu, waits = 0, 0, 0
  for _, t in ipairs(readers) do
    local _, w, c, n = assert(host.join(t))
    wall, cpu, waits = wall + w, cpu + c, waits + n
  end
  m.free(q)
  m.free(ctl)
  return wall > 0 and cpu / wall or 0, wall, took, waits
end

B.title(string.format("memory: 2 readers of a %d MiB block while realloc moves it, %d rounds", MIB, ROUNDS))
B.header("library", "readers' CPU / wall while waiting", "seconds waited", "move took s", "waiting calls")
for _, lib in ipairs(B.libs) do
  for _ = 1, ROUNDS do
    local share, wall, took, waits = move(lib)
    B.row(lib.name, string.format("%.2f", share), string.format("%.3f", wall), string.format("%.3f", took),
          tostring(waits))
  end
end
