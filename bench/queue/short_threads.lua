-- memory.queue: what short-lived threads leave behind in a long-lived queue.
-- 10,000 states, each on a thread of its own (a few at a time), enqueue one
-- item each into one queue; the process's resident memory after the first
-- 1,000 (the allocator's arenas and the like settle by then) and after all
-- of them tells whether the queue's per-thread state is bounded.
--   LUAMODS_BIN=build/native/bin [LUAMODS_BASELINE_BIN=old/bin] luamods_host bench/queue/short_threads.lua [threads]
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. package.path
local B = require("benchlib").setup()

local THREADS = tonumber(arg and arg[1]) or 10000
local AT_ONCE = 4
local STATE = [[
local path, q = ...
assert(package.loadlib(path, "luaopen_memory_queue"))().enqueue(q, q)
]]

-- Resident bytes after each 1,000 threads, for one library.
local function run(lib)
  local q = lib.q.new()
  local rss = { [0] = B.rss() }
  local t0 = host.clock()
  for done = AT_ONCE, THREADS, AT_ONCE do
    local ts = {}
    for i = 1, AT_ONCE do ts[i] = host.start(STATE, lib.path, q) end
    for i = 1, AT_ONCE do
      assert(host.join(ts[i]))
      assert(lib.q.dequeue(q) == q)
    end
    if done % 1000 == 0 then collectgarbage(); rss[done / 1000] = B.rss() end
  end
  local dt = host.clock() - t0
  lib.q.delete(q)
  return rss, dt
end

B.title(string.format("memory.queue: %d short-lived states enqueue once into one queue, %d at a time",
                      THREADS, AT_ONCE))
if not B.rss() then
  print("(no resident memory figure on this platform)")
  return
end
local K = THREADS / 1000
B.header("library", "resident MiB at start", "after 1,000", string.format("after %d,000", K),
         "KiB per 1,000 threads after the first 1,000", "µs per thread")
for _, lib in ipairs(B.libs) do
  local rss, dt = run(lib)
  local mib = function(b) return string.format("%.1f", b / 2 ^ 20) end
  B.row(lib.name, mib(rss[0]), mib(rss[1]), mib(rss[K]),
        string.format("%.0f", (rss[K] - rss[1]) / 1024 / (K - 1)),
        string.format("%.0f", dt / THREADS * 1e6))
end
