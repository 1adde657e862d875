-- memory.queue benchmark: every figure beside a baseline measured in the same
-- run, as a Markdown table.
--   luamods_host bench/queue/bench_queue.lua [items]      (default 1000000)
-- with LUAMODS_BIN and LUAMODS_SUFFIX naming the build's modules.
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../../tests/lua/?.lua;" .. package.path
local T = require("testlib")
local Q = T.queue()
local raw = T.load("bench_queue", "luaopen_bench_queue")

local N = tonumber(arg and arg[1]) or 1000000
local ROUNDS = 3
local clock, empty = host.clock, host.empty

-- Best of ROUNDS: the machine is shared, the fastest run is the least disturbed.
local function best(fn)
  local t = math.huge
  for _ = 1, ROUNDS do t = math.min(t, fn()) end
  return t
end

-- One-state loops are timed in process CPU time where the C runtime's clock()
-- gives it (glibc), which other work on the machine disturbs less; the
-- Windows runtime's clock() is wall time, so there the host's clock.
local cpu = host.platform == "windows" and clock or os.clock

local function timed(loop)
  return best(function()
    local t0 = cpu()
    loop()
    return cpu() - t0
  end)
end

local q = Q.new()
local item = q  -- any light userdata will do

-- One state: enqueue + dequeue pairs against two empty C calls.
local empty_pair = timed(function()
  for _ = 1, N do empty(q, item); empty(q) end
end)
local queue_pair = timed(function()
  local enqueue, dequeue = Q.enqueue, Q.dequeue
  for _ = 1, N do enqueue(q, item); dequeue(q) end
end)
local payload = string.rep("x", 64)
local push_pop = timed(function()
  local push, pop = Q.push, Q.pop
  for _ = 1, N do push(q, payload); pop(q) end
end)
local raw_pair = best(function() return raw.raw_pairs(N) end)

-- Two states on two threads, one producing and one consuming; both start
-- together at a gate and the time runs until the later one is done.
local PRELUDE = "package.path = " .. string.format("%q", package.path) .. [[

local T = require("testlib")
local Q = T.queue()
local q, gate, ready, n, mode = ...
Q.enqueue(ready, q)
Q.wait_dequeue(gate)
local empty = host.empty
]]
local PRODUCER = PRELUDE .. [[
if mode == "queue" then
  local enqueue = Q.enqueue
  for _ = 1, n do enqueue(q, q) end
else
  for _ = 1, n do empty(q, q) end
end
return host.clock()
]]
local CONSUMER = PRELUDE .. [[
if mode == "queue" then
  local wait_dequeue = Q.wait_dequeue
  for _ = 1, n do wait_dequeue(q) end
else
  for _ = 1, n do empty(q) end
end
return host.clock()
]]

local function two_states(mode)
  local sq, gate, ready = Q.new(), Q.new(), Q.new()
  local threads = { host.start(CONSUMER, sq, gate, ready, N, mode),
                    host.start(PRODUCER, sq, gate, ready, N, mode) }
  Q.wait_dequeue(ready); Q.wait_dequeue(ready)
  local t0 = clock()
  Q.enqueue(gate, gate); Q.enqueue(gate, gate)
  local t1 = 0
  for _, t in ipairs(threads) do
    local ok, tend = host.join(t)
    assert(ok, tend)
    t1 = math.max(t1, tend)
  end
  Q.delete(sq); Q.delete(gate); Q.delete(ready)
  return t1 - t0
end

local spsc_empty = best(function() return two_states("empty") end)
local spsc_queue = best(function() return two_states("queue") end)
local spsc_raw = best(function() return raw.raw_spsc(N) end)
Q.delete(q)

local function ns(t) return string.format("%.1f ns", t / N * 1e9) end
local function rate(t) return string.format("%.2f M/s", N / t / 1e6) end
local function ratio(a, b) return string.format("%.2f", a / b) end

print(string.format("memory.queue on %s, %d items, best of %d runs, %d hardware threads\n",
                    host.platform, N, ROUNDS, host.cores))
-- Times per operation: ratio = time / baseline time.  Rates: ratio = rate / baseline rate.
print("| case | measured | baseline | ratio | goal |")
print("|---|---|---|---|---|")
print(string.format("| enqueue + dequeue, one state, per pair | %s | %s (two empty C calls) | %s× | ≤ 3× |",
                    ns(queue_pair), ns(empty_pair), ratio(queue_pair, empty_pair)))
print(string.format("| push + pop of 64-byte strings, one state, per pair | %s | %s (two empty C calls) | %s× | |",
                    ns(push_pop), ns(empty_pair), ratio(push_pop, empty_pair)))
print(string.format("| raw C++ put + take, one thread, per pair | %s | %s (two empty C calls) | %s× | |",
                    ns(raw_pair), ns(empty_pair), ratio(raw_pair, empty_pair)))
print(string.format("| 1 producer + 1 consumer state, items/s | %s | %s (same loops, empty C calls) | %s | ≥ 0.33 |",
                    rate(spsc_queue), rate(spsc_empty), ratio(spsc_empty, spsc_queue)))
print(string.format("| 1 producer + 1 consumer state, items/s | %s | %s (raw C++ threads: the ceiling) | %s | |",
                    rate(spsc_queue), rate(spsc_raw), ratio(spsc_raw, spsc_queue)))
