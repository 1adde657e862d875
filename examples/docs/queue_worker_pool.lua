-- needs: memory.queue threads
-- A pool of worker states that take jobs with wait_pop and a time limit.
-- A worker blocked without a limit would wait for ever if its producer
-- died; with one, wait_pop returns nil when the limit expires, and the
-- worker decides: look at a stop flag, do something else, give up.  Here
-- the producer sets a flag in a shared block once it has pushed every job;
-- a worker whose wait expired and that sees the flag takes what is left
-- without waiting and stops.  join has a limit too: a worker that does not
-- end in time is reported instead of hanging the script.
local threads = require("threads")
local memory = require("memory")
local queue = require("memory.queue")

local jobs, results = queue.shared(), queue.shared()
local done = memory.shared(4)                  -- 1 once every job is pushed
local worker = [[
  local jobs, results, done = ...
  local memory = require("memory")       -- a new state gets package.path and cpath
  local queue = require("memory.queue")
  queue.retain(jobs); queue.retain(results); memory.retain(done)
  local count = 0
  while true do
    local job = queue.wait_pop(jobs, 50)       -- a job, or nil after 50 ms without one
    if job then
      queue.push(results, job:upper())
      count = count + 1
    elseif memory.atomic_i32(done, 0) == 1 then
      -- Every job was pushed before the flag was set: what is left is in
      -- the queue now.  Take it without waiting, then stop.
      for rest in function() return queue.pop(jobs) end do
        queue.push(results, rest:upper())
        count = count + 1
      end
      break
    end
    -- Otherwise nothing came yet: a chance for other work, then wait again.
  end
  queue.release(jobs); queue.release(results); memory.release(done)
  return count
]]
local workers = {}
for i = 1, 3 do workers[i] = threads.start(worker, jobs, results, done) end
for i = 1, 200 do queue.push(jobs, "job " .. i) end
memory.atomic_set_i32(done, 0, 1)

local total = 0
for i, t in ipairs(workers) do
  local ok, count = t:join(30000)             -- nil, "timeout" if still running after 30 s
  if ok == nil then error("worker " .. i .. " is still running; join it later or tell it to stop") end
  assert(ok, count)                            -- false and the error text if it failed
  total = total + count
end
assert(total == 200 and queue.len(results) == 200)
for _ = 1, 200 do assert(queue.wait_pop(results, 0):match("^JOB %d+$")) end
assert(queue.wait_pop(results, 0) == nil)      -- 0: do not wait
queue.release(jobs); queue.release(results); memory.release(done)
print("queue pool: ok, " .. total .. " jobs by " .. #workers .. " workers")
