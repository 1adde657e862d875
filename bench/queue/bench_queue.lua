-- memory.queue: calls against the empty C function taking the same arguments,
-- and one producer and one consumer state against the raw C++ queue (the
-- bench_queue helper: the same queue and semaphore with no Lua, registry or
-- checks), all timed in the same run.
--   scripts/bench-report queue                 (scripts/bench-report --baseline REV: against
--                                              the Quandel of REV as well, LUAMODS_BASELINE_BIN)
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. package.path
local B = require("benchlib").setup()
local raw = B.load(B.bin, "bench_queue", "luaopen_bench_queue")

-- Many short rounds: the best of them is the least disturbed by other work.
local N, ROUNDS = 10000, 201
local ITEMS = tonumber(arg and arg[1]) or 200000  -- from the producer to the consumer
local SPSC_ROUNDS = 21

local function pair(s)
  return function(lib)
    local q = lib.q.new()
    return { q = q, item = q, s = s, enqueue = lib.q.enqueue, dequeue = lib.q.dequeue,
             push = lib.q.push, pop = lib.q.pop }
  end
end

B.per_call("memory.queue: pairs of calls against two empty calls", {
  { "enqueue + dequeue", "enqueue(q, item); dequeue(q)", pair(), 3.5 },
  { "push + pop 16 B", "push(q, s); pop(q)", pair(string.rep("x", 16)) },
  { "push + pop 4 KiB", "push(q, s); pop(q)", pair(string.rep("x", 4096)), n = N / 4 },
}, N, ROUNDS)

-- One producer and one consumer state on threads of their own, released
-- together; the time runs until the later one is done.
local PRODUCER = [[
local path, q, n = ...
local enqueue = assert(package.loadlib(path, "luaopen_memory_queue"))().enqueue
return function() for _ = 1, n do enqueue(q, q) end end
]]
local CONSUMER = [[
local path, q, n = ...
local wait_dequeue = assert(package.loadlib(path, "luaopen_memory_queue"))().wait_dequeue
return function() for _ = 1, n do wait_dequeue(q) end end
]]
local function spsc(lib)
  local q = lib.q.new()
  local t = B.together({ CONSUMER, PRODUCER }, lib.path, q, ITEMS)
  lib.q.delete(q)
  return ITEMS / t
end

-- In turns, the best of SPSC_ROUNDS each: raw C++, then each library.
local rates = { raw = 0 }
for _ = 1, SPSC_ROUNDS do
  rates.raw = math.max(rates.raw, ITEMS / raw.raw_spsc(ITEMS))
  for _, lib in ipairs(B.libs) do rates[lib.name] = math.max(rates[lib.name] or 0, spsc(lib)) end
end

B.title(string.format("memory.queue: 1 producer + 1 consumer state, %d items, best of %d", ITEMS, SPSC_ROUNDS))
local head = { "case", "M items/s", "raw C++ M items/s", "ratio", "goal" }
if B.old then head[#head + 1] = "old ratio" end
B.header(unpack(head))
local cells = { "enqueue → wait_dequeue", string.format("%.2f", rates.new / 1e6),
                string.format("%.2f", rates.raw / 1e6), string.format("%.2f×", rates.new / rates.raw),
                B.goal(">=", 0.7, rates.new / rates.raw) }
if B.old then cells[#cells + 1] = string.format("%.2f×", rates.old / rates.raw) end
B.row(unpack(cells))
