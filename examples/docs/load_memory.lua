-- needs: memory
-- require("memory") loads a small Lua module that finds the library Quandel
-- on package.cpath and opens memory by its entry point.
---@type memory
local memory = require("memory")

local block = memory.alloc(16)
memory.write(block, 0, "hello")
assert(memory.read(block, 0, 5) == "hello")
memory.free(block)
print("memory: ok, " .. memory.count_allocations() .. " bytes still allocated")
