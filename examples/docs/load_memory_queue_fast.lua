-- needs: memory.queue.fast
-- memory.queue.fast is a Lua module: require finds it on package.path, and
-- it opens Quandel from package.cpath itself (the same file as memory.queue,
-- so the same queues).  It needs LuaJIT's FFI.
---@type memory.queue.fast
local qfast = require("memory.queue.fast")

local q = qfast.new()
qfast.push(q, "hello")
assert(qfast.wait_pop(q, 100) == "hello")
assert(qfast.wait_pop(q, 0) == nil)   -- empty: nil at once
qfast.delete(q)
print("memory.queue.fast: ok")
