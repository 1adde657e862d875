-- needs: memory
-- memory lives in the library Quandel, whose file name is not a module name:
-- find the file on package.cpath and open the table by its entry point.
local quandel = assert(package.searchpath("Quandel", package.cpath))
---@type memory
local memory = assert(package.loadlib(quandel, "luaopen_memory"))()

local block = memory.alloc(16)
memory.write(block, 0, "hello")
assert(memory.read(block, 0, 5) == "hello")
memory.free(block)
print("memory: ok, " .. memory.count_allocations() .. " bytes still allocated")
