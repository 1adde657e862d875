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

-- Tables against the same values as plain arguments, both through
-- threads.start: the cost of the deep copy.  Each call is timed on its own,
-- the two sides alternating call by call, and the fastest tenth of each is
-- compared (its slowest call): a start is mostly the new state, its fresh
-- memory and the thread, and on a busy machine the times fall in two heaps,
-- calls that ran undisturbed and calls that waited, whose shares decide a
-- median or a round's total more than the copy does.
local function fastest_tenth(t)
  table.sort(t)
  return t[math.max(1, math.floor(#t / 10))]
end
local function compare_calls(fn, base, n)
  fn(); base()
  local a, b = {}, {}
  for i = 1, n do
    local t0 = host.clock()
    fn()
    local t1 = host.clock()
    base()
    a[i], b[i] = t1 - t0, host.clock() - t1
  end
  return fastest_tenth(a) * 1e9, fastest_tenth(b) * 1e9
end
local fields, numbers = {}, {}
for i = 1, 100 do
  fields["field" .. i] = i + 0.5
  numbers[i] = i + 0.5
end
local mib = string.rep("x", 1024 * 1024)
local with_string = { data = mib }
local function start(...) assert(threads.start("return", ...):join()) end
local copies = {}
local function copy_row(name, goal, table_args, plain_args, n)
  local ns, base = compare_calls(function() start(unpack(table_args)) end,
                                 function() start(unpack(plain_args)) end, n)
  copies[#copies + 1] = { name, ns, base, goal }
end
copy_row("one 100-field table against 100 numbers", "≤ 1.3×", { fields }, numbers, 401)
copy_row("a 1 MiB string in a table against the string", "≤ 1.1×", { with_string }, { mib }, 101)
B.table("threads: start + join with tables against plain arguments", copies)
