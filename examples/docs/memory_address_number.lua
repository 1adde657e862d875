-- needs: memory threads
-- An address that has to travel as a number (a host that passes only
-- numbers and strings to a new state, a message, a field of a record):
-- turn the pointer into an integer with the FFI, and back into a cdata
-- pointer on arrival, which every function accepts.  A Lua number holds
-- integers exactly up to 2^53, and an x64 user-space address has 47 bits.
local ffi = require("ffi")
local threads = require("threads")
local memory = require("memory")

local block = memory.alloc(16)
memory.write(block, 0, "sent by number")
local n = tonumber(ffi.cast("uintptr_t", block))     -- a plain Lua number
assert(not pcall(memory.size, n))                     -- a number is not taken as an address

local ok, text = threads.start([[
  local ffi = require("ffi")
  local n = ...
  local memory = require("memory")                    -- the same library, the same blocks
  local block = ffi.cast("void *", n)                 -- a cdata pointer: accepted
  return memory.read(block, 0, 14)
]], n):join()
assert(ok and text == "sent by number", text)

-- Never round an address through tostring: it keeps 14 significant digits
-- and an address can have 15, so it comes back as another address.
local high = 0x7ffd12345678
assert(tonumber(tostring(high)) ~= high)
-- As text, write every digit.
assert(tonumber(string.format("%.0f", high)) == high)

memory.free(block)
print("address as a number: ok")
