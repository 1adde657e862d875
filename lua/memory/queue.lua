-- require("memory.queue"): the memory.queue module of the Quandel library.  The file
-- name Quandel is not a module name, so package.searchpath finds the file on package.cpath
-- and opens the table by its entry point, luaopen_memory_queue.  One file: memory
-- and memory.queue share its block registry.
local path = package.searchpath("Quandel", package.cpath)
if not path then
  error("memory.queue: the Quandel library is not on package.cpath (" .. package.cpath .. ")", 2)
end
return assert(package.loadlib(path, "luaopen_memory_queue"))()
