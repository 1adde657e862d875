-- needs: memory.fast
-- memory and memory.fast on the same blocks: the same results and the same
-- errors, while a loop of memory.fast calls compiles into one trace.
local memory = require("memory")
local fast = require("memory.fast")

local counters = memory.shared(64)
for i = 1, 100000 do
  fast.atomic_add_i32(counters, (i % 16) * 4, 1)   -- compiled: no exit from the trace
end
assert(memory.atomic_i32(counters, 0) == 6250)     -- one registry, one block

-- Addresses may be light userdata (what alloc returns) or cdata pointers;
-- a cdata pointer skips the lookup that turns the former into the latter.
local ffi = require("ffi")
local p = ffi.cast("void *", counters)
assert(fast.get_i32(p, 4) == memory.get_i32(counters, 4))

-- A failure is the same error, word for word.
memory.release(counters)
local _, classic_err = pcall(memory.get_i32, counters, 0)
local _, fast_err = pcall(fast.get_i32, counters, 0)
assert(classic_err == fast_err, fast_err)
print(fast_err)   -- memory: unknown or freed pointer (0x...)
