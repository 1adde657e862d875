-- needs: memory.queue threads
-- Worker states take jobs (strings) from one shared queue and push results
-- to another; an empty string tells a worker to stop.
local threads = require("threads")
local quandel = assert(package.searchpath("Quandel", package.cpath))
local queue = assert(package.loadlib(quandel, "luaopen_memory_queue"))()

local jobs, results = queue.shared(), queue.shared()
local worker = [[
  local quandel, jobs, results = ...
  local queue = package.loadlib(quandel, "luaopen_memory_queue")()
  queue.retain(jobs); queue.retain(results)
  while true do
    local job = queue.pop(jobs)
    if job == "" then break end
    if job then queue.push(results, job:upper()) end
  end
  queue.release(jobs); queue.release(results)
]]
local workers = {}
for i = 1, 2 do workers[i] = threads.start(worker, quandel, jobs, results) end
for i = 1, 100 do queue.push(jobs, "item " .. i) end
for _ = 1, #workers do queue.push(jobs, "") end
for _, t in ipairs(workers) do assert(t:join()) end

local seen = 0
while queue.len(results) > 0 do
  assert(queue.pop(results):match("^ITEM %d+$"))
  seen = seen + 1
end
assert(seen == 100)
queue.release(jobs); queue.release(results)
print("queue: ok, " .. seen .. " results")
