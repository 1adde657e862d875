-- needs: memory.queue memory.queue.fast
-- memory.queue and memory.queue.fast on the same queue: the same results
-- and the same errors, while a loop of memory.queue.fast calls compiles into
-- one trace.  Items come back from dequeue as `void *` cdata.
local ffi = require("ffi")
local queue = require("memory.queue")
local qfast = require("memory.queue.fast")

local q = queue.new()
for i = 1, 100000 do qfast.enqueue(q, ffi.cast("void *", i)) end   -- compiled
assert(queue.len(q) == 100000)                                     -- one queue
local sum = 0
for _ = 1, 100000 do
  local item = qfast.wait_dequeue(q, 10)                           -- a cdata pointer
  sum = sum + tonumber(ffi.cast("uintptr_t", item))
end
assert(sum == 100000 * 100001 / 2)

queue.push(q, "strings too")
assert(qfast.wait_pop(q, 10) == "strings too")
assert(qfast.wait_pop(q, 10) == nil)                               -- the limit expired

-- A failure is the same error, word for word.
queue.delete(q)
local _, classic_err = pcall(queue.len, q)
local _, fast_err = pcall(qfast.len, q)
assert(classic_err == fast_err, fast_err)
print(fast_err)   -- memory.queue: unknown or deleted queue (0x...)
