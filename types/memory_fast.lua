---@meta memory.fast
-- LuaLS definitions of the `memory.fast` module: memory's functions through
-- LuaJIT's FFI, on the same blocks.  Load it with
--   local fast = require("memory.fast")
-- It has every function of `memory`, with the same arguments, results and
-- errors (see types/memory.lua and docs/memory-fast.md).

---@class memory.fast: memory
local fast = {}

return fast
