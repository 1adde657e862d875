-- needs: memory.queue
-- memory.queue is the second entry point of the same library: the same file,
-- so both tables share one block registry.
---@type memory
local memory = require("memory")
---@type memory.queue
local queue = require("memory.queue")

local before = memory.count_allocations()
local q = queue.new()
queue.push(q, "a string travels as a block")
assert(memory.count_allocations() > before)
assert(queue.pop(q) == "a string travels as a block")
assert(memory.count_allocations() == before)
queue.delete(q)
print("memory.queue: ok")
