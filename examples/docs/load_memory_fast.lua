-- needs: memory.fast
-- memory.fast is a Lua module: require finds it on package.path, and it
-- opens Quandel from package.cpath itself (the same file as memory, so the
-- same blocks).  It needs LuaJIT's FFI.
---@type memory.fast
local fast = require("memory.fast")

local block = fast.alloc(16)
fast.write(block, 0, "hello")
assert(fast.read(block, 0, 5) == "hello")
fast.free(block)
print("memory.fast: ok, " .. fast.count_allocations() .. " bytes still allocated")
