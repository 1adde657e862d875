-- needs: memory.queue
-- memory.queue is the second entry point of the same library: the same file,
-- so both tables share one block registry.
local quandel = assert(package.searchpath("Quandel", package.cpath))
---@type memory
local memory = assert(package.loadlib(quandel, "luaopen_memory"))()
---@type memory.queue
local queue = assert(package.loadlib(quandel, "luaopen_memory_queue"))()

local before = memory.count_allocations()
local q = queue.new()
queue.push(q, "a string travels as a block")
assert(memory.count_allocations() > before)
assert(queue.pop(q) == "a string travels as a block")
assert(memory.count_allocations() == before)
queue.delete(q)
print("memory.queue: ok")
