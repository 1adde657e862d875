-- needs: memory.queue threads
-- Worker states take jobs (strings) from one shared queue and send results
-- to another.  wait_dequeue sleeps while the queue is empty instead of
-- spinning; the address it returns is the taker's, so the worker reads the
-- string's block and frees it (what pop does for you).  A sentinel address,
-- enqueued once per worker, tells a worker to stop: a zero-size block that
-- no job can be, which the workers compare against and never free.
local threads = require("threads")
local memory = require("memory")
local queue = require("memory.queue")

local jobs, results = queue.shared(), queue.shared()
local stop = memory.alloc(0)
local worker = [[
  local jobs, results, stop = ...
  local memory = require("memory")       -- a new state gets package.path and cpath
  local queue = require("memory.queue")
  queue.retain(jobs); queue.retain(results)
  while true do
    local block = queue.wait_dequeue(jobs)        -- blocks, using no CPU
    if block == stop then break end
    local job = memory.read(block, 0, memory.size(block))
    memory.free(block)
    queue.push(results, job:upper())
  end
  queue.release(jobs); queue.release(results)
]]
local workers = {}
for i = 1, 2 do workers[i] = threads.start(worker, jobs, results, stop) end
for i = 1, 100 do queue.push(jobs, "item " .. i) end
for _ = 1, #workers do queue.enqueue(jobs, stop) end

for _, t in ipairs(workers) do assert(t:join()) end
memory.free(stop)                                 -- each worker took the sentinel once
assert(queue.len(jobs) == 0 and queue.len(results) == 100)

local seen = 0
for _ = 1, 100 do
  local block = queue.wait_dequeue(results)       -- read and free, as the workers do
  assert(memory.read(block, 0, memory.size(block)):match("^ITEM %d+$"))
  memory.free(block)
  seen = seen + 1
end
queue.release(jobs); queue.release(results)
print("queue: ok, " .. seen .. " results")
