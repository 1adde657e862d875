-- needs: threads memory
-- Worker states started from plain luajit: each counts into a shared block
-- and leaves a plain block behind; the host clean-up that threads offers
-- gives the plain blocks of every state back.
local threads = require("threads")       -- before memory: it brings the host record
local memory = require("memory")

local before = memory.count_allocations()
local counter = memory.shared(4)         -- zero-filled, reference count 1
local worker = [[
  local counter, n = ...
  local memory = require("memory")       -- a new state gets package.path and cpath
  memory.retain(counter)
  for _ = 1, n do memory.atomic_add_i32(counter, 0, 1) end
  memory.release(counter)
  memory.alloc(64)                       -- never freed by the script
  return n
]]
local workers = {}
for i = 1, 4 do workers[i] = threads.start(worker, counter, 1000 * i) end
for _, t in ipairs(workers) do
  local ok, n = t:join()                 -- false and the error text if it failed
  assert(ok, n)
end
assert(memory.atomic_i32(counter, 0) == 10000)
memory.release(counter)
threads.cleanup()                        -- runs memory's clean-up callback
assert(memory.count_allocations() == before)
print("threads: 4 workers counted to 10000; plain blocks given back")
