-- needs: memory
-- Plain blocks: allocate, write, read back, resize, free; errors are raised.
local memory = require("memory")

local block = memory.alloc(8)
memory.fill(block, 0, 8, 0)              -- alloc leaves the bytes undefined
memory.write(block, 0, "abc")
memory.set_i32(block, 4, -2)
assert(memory.read(block, 0, 4) == "abc\0")
assert(memory.get_i32(block, 4) == -2)

block = memory.realloc(block, 16)        -- may move: use the new address
assert(memory.size(block) == 16 and memory.read(block, 0, 3) == "abc")

local ok, err = pcall(memory.read, block, 10, 8)
assert(not ok and err:find("memory: range is out of bounds (offset 10, length 8, size 16)", 1, true))

memory.free(block)
ok, err = pcall(memory.size, block)
assert(not ok and err:find("memory: unknown or freed pointer", 1, true))
print("blocks: ok")
