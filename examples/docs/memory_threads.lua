-- needs: memory threads
-- A shared block used by Lua states on other threads: an atomic counter at
-- offset 0 and a sequence-locked status record (counter at 4, 32 bytes at 8).
-- threads.start runs a chunk in a new Lua state on a new thread (a host
-- application may use its own way).  Only the address crosses.
local threads = require("threads")
local memory = require("memory")

local block = memory.shared(8 + 32)      -- zero-filled, reference count 1

local worker = [[
  local block, id = ...
  local memory = require("memory")       -- a new state gets package.path and cpath
  memory.retain(block)                   -- this state holds a reference too
  for _ = 1, 1000 do memory.atomic_add_i32(block, 0, 1) end
  while not memory.seq_write(block, 4, 8, "worker " .. id .. " done", 32) do end
  memory.release(block)
]]
local workers = {}
for id = 1, 3 do workers[id] = threads.start(worker, block, id) end
for _, t in ipairs(workers) do assert(t:join()) end

assert(memory.atomic_i32(block, 0) == 3000)
local status = memory.seq_read(block, 4, 8, 32)   -- nil, "busy" under contention
assert(status and status:match("^worker %d done"))
assert(memory.release(block) == 0)                 -- the last reference: freed
print("threads: ok, last status: " .. status:gsub("%z+$", ""))
