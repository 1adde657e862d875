-- Starting and joining a thread whose chunk returns at once, against the test
-- host's host.run of the same chunk (a new state on a new thread, joined),
-- timed in the same run.  Wall-clock time: the cost is mostly the new state
-- and the thread, spent on both threads and in waiting for the join.
local B = require("benchlib")
local threads = require("threads")

local N = 200

-- ns per call of fn, the best of `rounds` (5) rounds of n (N) calls; the two
-- sides alternate rounds so that a disturbance of the machine hits both alike.
local function compare(fn, base, n, rounds)
  n = n or N
  fn(); base()
  local best, best_base = math.huge, math.huge
  for _ = 1, rounds or 5 do
    local t0 = host.clock()
    for _ = 1, n do fn() end
    local t1 = host.clock()
    for _ = 1, n do base() end
    local t2 = host.clock()
    best, best_base = math.min(best, t1 - t0), math.min(best_base, t2 - t1)
  end
  return best * 1e9 / n, best_base * 1e9 / n
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

-- Tables against the same values as plain arguments, both through
-- threads.start, timed in the same rounds: the cost of the deep copy.  The
-- 1 MiB cases spend most of their time on fresh memory of the new state
-- (the same on both sides), so they get more, shorter rounds.
local fields, numbers = {}, {}
for i = 1, 100 do
  fields["field" .. i] = i + 0.5
  numbers[i] = i + 0.5
end
local mib = string.rep("x", 1024 * 1024)
local with_string = { data = mib }
local function start(...) assert(threads.start("return", ...):join()) end
local copies = {}
local function copy_row(name, goal, table_args, plain_args, n, rounds)
  local ns, base = compare(function() start(unpack(table_args)) end,
                           function() start(unpack(plain_args)) end, n, rounds)
  copies[#copies + 1] = { name, ns, base, goal }
end
copy_row("one 100-field table against 100 numbers", "≤ 1.3×", { fields }, numbers, 100, 9)
copy_row("a 1 MiB string in a table against the string", "≤ 1.1×", { with_string }, { mib }, 10, 25)
B.table("threads: start + join with tables against plain arguments", copies)
