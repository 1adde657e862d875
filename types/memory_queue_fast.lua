---@meta memory.queue.fast
-- LuaLS definitions of the `memory.queue.fast` module: memory.queue's item
-- functions through LuaJIT's FFI, on the same queues.  Load it with
--   local qfast = require("memory.queue.fast")
-- It has every function of `memory.queue`, with the same arguments, results
-- and errors (see types/memory_queue.lua and docs/memory-queue.md), except
-- that dequeue and wait_dequeue return the item as a `void *` cdata.

---@class memory.queue.fast: memory.queue
local qfast = {}

---`memory.queue.dequeue`, with the item as a `void *` cdata.
---@param q memory.queue.Queue
---@return ffi.cdata*? item
function qfast.dequeue(q) end

---`memory.queue.wait_dequeue`, with the item as a `void *` cdata.
---@param q memory.queue.Queue
---@param timeout_ms? number
---@return ffi.cdata*? item
function qfast.wait_dequeue(q, timeout_ms) end

return qfast
