-- memory.queue as a channel between two Lua states, against the plain C++
-- library: one producer and one consumer on moodycamel's
-- BlockingConcurrentQueue (the bench_queue helper, no wrapper of ours),
-- integers and 64-byte std::string copies.  A blocking consumer's wake-ups
-- make single runs swing widely, so every case runs once per round, the
-- rounds interleave the cases (each round starts at the next case), and the
-- figure is the median.  Then, on one state, a push + pop pair of 64 bytes
-- against an enqueue + dequeue pair, and what a time limit of 100 ms on an
-- empty queue costs in time.
--   LUAMODS_BIN=build/native/bin luamods_host bench/queue/messages.lua [items] [rounds]
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. here .. "/../../lua/?.lua;" .. package.path
local B = require("benchlib").setup()
local raw = B.load(B.bin, "bench_queue", "luaopen_bench_queue")
local qfast = require("memory.queue.fast")

local ITEMS = tonumber(arg and arg[1]) or 100000
local ROUNDS = math.max(7, tonumber(arg and arg[2]) or 9)
local SIZE = 64

local function median(list)
  local s = { unpack(list) }
  table.sort(s)
  local n = #s
  if n % 2 == 1 then return s[(n + 1) / 2] end
  return (s[n / 2] + s[n / 2 + 1]) / 2
end

local function load_note()
  local f = io.open("/proc/loadavg")
  local text = f and f:read("*l")
  if f then f:close() end
  local a, b, c = (text or ""):match("^(%S+) (%S+) (%S+)")
  print(a and ("\nLoad average at the start (1, 5, 15 min): %s, %s, %s; %s hardware threads.")
               :format(a, b, c, tostring(host.cores or "?"))
        or "\nLoad average: not readable here.")
end

-- The states of one run.  `module` is "classic" (the library at `path`) or
-- "fast" (memory.queue.fast, which opens the Quandel of package.cpath).
local HEAD = [[
local path, q, n, module, size = ...
local Q = module == "fast" and require("memory.queue.fast")
          or assert(package.loadlib(path, "luaopen_memory_queue"))()
local M = assert(package.loadlib(path, "luaopen_memory"))()
]]
local CHUNKS = {
  enqueue = HEAD .. "local enqueue = Q.enqueue\n" ..
            "return function() for _ = 1, n do enqueue(q, q) end end",
  wait_dequeue = HEAD .. "local wait_dequeue = Q.wait_dequeue\n" ..
                 "return function() for _ = 1, n do wait_dequeue(q) end end",
  push = HEAD .. "local push, s = Q.push, string.rep('s', size)\n" ..
         "return function() for _ = 1, n do push(q, s) end end",
  wait_pop = HEAD .. "local wait_pop = Q.wait_pop\n" ..
             "return function() for _ = 1, n do wait_pop(q) end end",
  -- What a consumer of strings did before wait_pop: four calls an item.
  wait_read_free = HEAD .. "local wait_dequeue, size_of, read, free = Q.wait_dequeue, M.size, M.read, M.free\n" ..
                   "return function() for _ = 1, n do local b = wait_dequeue(q); read(b, 0, size_of(b)); free(b) end end",
}

local function channel(producer, consumer, module)
  return function(lib)
    local q = lib.q.new()
    local t = B.together({ CHUNKS[consumer], CHUNKS[producer] }, lib.path, q, ITEMS, module, SIZE)
    lib.q.delete(q)
    return t
  end
end

-- { key, label, run(lib) -> seconds, baseline key, goal op, goal, only_new }
local CASES = {
  { "raw_ints", "raw C++ BlockingConcurrentQueue, integers", function() return raw.bcq_ints(ITEMS) end },
  { "raw_strings", "raw C++ BlockingConcurrentQueue, 64-byte std::string copies",
    function() return raw.bcq_strings(ITEMS, SIZE) end },
  { "ints", "enqueue → wait_dequeue", channel("enqueue", "wait_dequeue", "classic"), "raw_ints", ">=", 1.0 },
  { "fast_ints", "memory.queue.fast enqueue → wait_dequeue", channel("enqueue", "wait_dequeue", "fast"),
    "ints", ">=", 1.5, true },
  { "strings", "push → wait_pop, 64 B", channel("push", "wait_pop", "classic"), "raw_strings", ">=", 0.8 },
  { "fast_strings", "memory.queue.fast push → wait_pop, 64 B", channel("push", "wait_pop", "fast"),
    "raw_strings", ">=", 0.8, true },
  { "strings_before", "push → wait_dequeue + size + read + free, 64 B",
    channel("push", "wait_read_free", "classic"), "raw_strings" },
}

load_note()

-- Which library runs which case: raw C++ once, the others on this build's
-- Quandel and (classic functions that it has) on the baseline's.
local runs = {}
for _, c in ipairs(CASES) do
  if c[1]:match("^raw_") then
    runs[#runs + 1] = { case = c, lib = nil, key = c[1] }
  else
    for _, lib in ipairs(B.libs) do
      local needs = c[1]:match("strings$") and c[1] ~= "strings_before" and "wait_pop" or "wait_dequeue"
      if lib == B.new or (not c[7] and lib.q[needs]) then
        runs[#runs + 1] = { case = c, lib = lib, key = c[1] .. (lib == B.new and "" or ".old") }
      end
    end
  end
end

local rates = {}
for _, r in ipairs(runs) do rates[r.key] = {} end
for round = 1, ROUNDS do
  for k = 0, #runs - 1 do
    local r = runs[(round + k) % #runs + 1]
    local t = r.case[3](r.lib)
    table.insert(rates[r.key], ITEMS / t)
  end
end
local med = {}
for key, list in pairs(rates) do med[key] = median(list) end

B.title(("memory.queue: 1 producer → 1 consumer state, %d items, median of %d interleaved rounds")
        :format(ITEMS, ROUNDS))
local head = { "case", "M items/s", "against", "its M items/s", "ratio", "goal" }
if B.old then head[#head + 1] = "old ratio" end
B.header(unpack(head))
local label = { raw_ints = "raw C++ integers", raw_strings = "raw C++ strings", ints = "enqueue → wait_dequeue" }
for _, c in ipairs(CASES) do
  local key, base = c[1], c[4]
  local cells = { c[2], ("%.2f"):format(med[key] / 1e6) }
  if base then
    local ratio = med[key] / med[base]
    for _, v in ipairs({ label[base], ("%.2f"):format(med[base] / 1e6), ("%.2f×"):format(ratio),
                         B.goal(c[5], c[6], ratio) }) do cells[#cells + 1] = v end
  else
    for _ = 1, 4 do cells[#cells + 1] = "" end
  end
  if B.old then
    local old = med[key .. ".old"]
    cells[#cells + 1] = (old and base) and ("%.2f×"):format(old / (med[base .. ".old"] or med[base])) or ""
  end
  B.row(unpack(cells))
end

-- One state: a pair of 64-byte strings against a pair of addresses.
local N = 10000
local s64 = string.rep("x", SIZE)
local pair_rows = {}
for _, m in ipairs({ { "memory.queue", B.new.q }, { "memory.queue.fast", qfast } }) do
  local Q = m[2]
  local q = Q.new()
  local vars = { enqueue = Q.enqueue, dequeue = Q.dequeue, push = Q.push, pop = Q.pop, q = q, s = s64 }
  local t = B.compare({ B.loop("enqueue(q, q); dequeue(q)", vars), B.loop("push(q, s); pop(q)", vars) },
                      N, 101)
  Q.delete(q)
  pair_rows[#pair_rows + 1] = { m[1], t[2], t[1] }
end
B.title("memory.queue, one state: a push + pop pair of 64 B against an enqueue + dequeue pair")
B.header("module", "push + pop ns", "enqueue + dequeue ns", "ratio", "goal")
for _, r in ipairs(pair_rows) do
  B.row(r[1], ("%.1f"):format(r[2]), ("%.1f"):format(r[3]), ("%.2f×"):format(r[2] / r[3]),
        B.goal("<=", 1.3, r[2] / r[3]))
end

-- A time limit of 100 ms on an empty queue: how long the call takes.
local LIMIT_RUNS = 7
B.title(("memory.queue: a time limit of 100 ms on an empty queue, %d calls each"):format(LIMIT_RUNS))
B.header("call", "median ms", "min ms", "max ms", "goal")
for _, m in ipairs({ { "", B.new.q }, { "memory.queue.fast ", qfast } }) do
  for _, name in ipairs({ "wait_pop", "wait_dequeue" }) do
    local Q = m[2]
    local q = Q.new()
    local times = {}
    for i = 1, LIMIT_RUNS do
      local t0 = host.clock()
      Q[name](q, 100)
      times[i] = (host.clock() - t0) * 1000
    end
    Q.delete(q)
    local md = median(times)
    B.row(m[1] .. name .. "(q, 100)", ("%.1f"):format(md), ("%.1f"):format(math.min(unpack(times))),
          ("%.1f"):format(math.max(unpack(times))),
          ("100–120 ms %s"):format(md >= 100 and md <= 120 and "met" or "MISSED"))
  end
end
