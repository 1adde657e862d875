-- Starting and joining a thread whose chunk returns at once, against the test
-- host's host.run of the same chunk (a new state on a new thread, joined),
-- timed in the same run.  Wall-clock time: the cost is mostly the new state
-- and the thread, spent on both threads and in waiting for the join.
local B = require("benchlib")
local threads = require("threads")

local N = 200

-- ns per call of fn, the best of 5 rounds; the two sides alternate rounds so
-- that a disturbance of the machine hits both alike.
local function compare(fn, base)
  fn(); base()
  local best, best_base = math.huge, math.huge
  for _ = 1, 5 do
    local t0 = host.clock()
    for _ = 1, N do fn() end
    local t1 = host.clock()
    for _ = 1, N do base() end
    local t2 = host.clock()
    best, best_base = math.min(best, t1 - t0), math.min(best_base, t2 - t1)
  end
  return best * 1e9 / N, best_base * 1e9 / N
end

local rows = {}
local function row(name, chunk, ...)
  local args = { n = select("#", ...), ... }
  local ns, base = compare(
    function() assert(threads.start(chunk, unpack(args, 1, args.n)):join()) end,
    function() assert(host.run(chunk, unpack(args, 1, args.n))) end)
  rows[#rows + 1] = { name, ns, base, "≤ 2×" }
end
row("start + join, returns at once", "return")
row("start + join, 4 values each way", "return ...", 1, "two", true, 4.5)
B.table("threads: a thread that returns at once against host.run", rows)
