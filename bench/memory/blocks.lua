-- Block operations against an empty C function taking the same arguments,
-- and the aggregate rate of two threads on two blocks against one thread.
local B = require("benchlib")
local T = require("testlib")
local m = T.memory()
local empty = host.empty

local N = 2000000
local p = m.alloc(64)
local s16 = string.rep("x", 16)

local loop = B.loop

local rows = {}
local function row(name, call, a, b, c)
  local ns = B.ns_per_call(loop(call, a, b, c), N)
  local base = B.ns_per_call(loop(empty, a, b, c), N)
  rows[#rows + 1] = { name, ns, base, "≤ 2.5×" }
end
row("write 16 bytes", m.write, p, 0, s16)
row("read 16 bytes", m.read, p, 0, 16)
row("size", m.size, p)
B.table("memory: block operations against the empty call", rows)

-- Threads: each reads and writes its own block for a fixed number of calls.
local WORK = [[
  local n = ...
  local T = require("testlib")
  local m = T.memory()
  local p = m.alloc(64)
  local s = string.rep("y", 16)
  local t0 = host.clock()
  for _ = 1, n do m.write(p, 0, s); m.read(p, 0, 16) end
  local dt = host.clock() - t0
  m.free(p)
  return dt
]]
local M = 1000000
local function rate(threads)
  local ts, t0 = {}, host.clock()
  for i = 1, threads do ts[i] = host.start(WORK, M) end
  for i = 1, threads do assert(ts[i]:join()) end
  return threads * M * 2 / (host.clock() - t0)
end
local r1 = math.max(rate(1), rate(1))
local r2 = math.max(rate(2), rate(2))
B.figures("memory: write+read calls per second, 2 threads on 2 blocks", {
  { "1 thread", string.format("%.2f M/s", r1 / 1e6) },
  { "2 threads", string.format("%.2f M/s", r2 / 1e6) },
  { "2 threads / 1 thread", string.format("%.2f×", r2 / r1) },
})
m.free(p)
