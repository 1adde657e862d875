---@meta memory
-- LuaLS definitions of the `memory` module (library Quandel, entry point
-- luaopen_memory).  Load it with
--   local memory = require("memory")
-- Every failure raises a Lua error: argument errors ("bad argument #n to
-- 'f' (...)") and registry errors whose text begins "memory: " and, where it
-- concerns an address, ends with that address in parentheses.

---The address of a block, valid in every Lua state of the process until it
---is freed.  Functions return light userdata; a LuaJIT cdata pointer (or a
---64-bit integer cdata) is accepted wherever an address is expected.
---@alias memory.Pointer lightuserdata|ffi.cdata*

---A byte count: a non-negative integer, or a cdata read as unsigned 64-bit.
---@alias memory.Size integer|ffi.cdata*

---@class memory
local memory = {}

---Allocates a plain block of `size` bytes (contents undefined).  A size of 0
---gives a distinct address whose size is 0.
---Raises "size must not be negative", "memory: allocation of N bytes failed".
---@param size memory.Size
---@return lightuserdata block
function memory.alloc(size) end

---The same function as `alloc`.
memory.malloc = memory.alloc

---Frees a plain block; deferred to the end of accesses in progress.
---Raises "memory: cannot free an unknown or freed pointer (p)" and, for a
---shared block, "memory: this is a shared block, release it instead of freeing it (p)".
---@param block memory.Pointer
function memory.free(block) end

---Resizes a plain block; the old address is unknown afterwards unless it
---equals the new one.  Refused for shared blocks and while the block is read
---or written ("memory: this block is being read or written right now (p)").
---@param block memory.Pointer
---@param size memory.Size
---@return lightuserdata block the new address
function memory.realloc(block, size) end

---Bytes held by every block of the process (plain, shared and queued strings).
---@return integer bytes
function memory.count_allocations() end

---Copies `data` into the block at `offset`.
---Raises "offset must not be negative", "memory: unknown or freed pointer (p)",
---"memory: range is out of bounds (offset O, length L, size S)".
---@param block memory.Pointer
---@param offset integer
---@param data string
function memory.write(block, offset, data) end

---Copies `length` bytes at `offset` into a new string.
---@param block memory.Pointer
---@param offset integer
---@param length integer
---@return string bytes exactly `length` bytes
function memory.read(block, offset, length) end

---Sets `length` bytes at `offset` to `byte` (0..255).
---@param block memory.Pointer
---@param offset integer
---@param length integer
---@param byte integer
function memory.fill(block, offset, length, byte) end

---The size the block was allocated (or last resized) with.
---@param block memory.Pointer
---@return integer size
function memory.size(block) end

---Reads a 32-bit signed integer (native byte order) at any offset.
---@param block memory.Pointer
---@param offset integer
---@return integer value
function memory.get_i32(block, offset) end

---Stores the low 32 bits of `value` at any offset.
---@param block memory.Pointer
---@param offset integer
---@param value integer
function memory.set_i32(block, offset, value) end

---Reads a double at any offset.
---@param block memory.Pointer
---@param offset integer
---@return number value
function memory.get_f64(block, offset) end

---Stores a double at any offset.
---@param block memory.Pointer
---@param offset integer
---@param value number
function memory.set_f64(block, offset, value) end

---Atomic (sequentially consistent) load of a 32-bit integer; `offset` must be
---a multiple of 4 ("offset must be a multiple of 4 for an atomic i32 access").
---@param block memory.Pointer
---@param offset integer
---@return integer value
function memory.atomic_i32(block, offset) end

---Atomic store of the low 32 bits of `value`.
---@param block memory.Pointer
---@param offset integer
---@param value integer
function memory.atomic_set_i32(block, offset, value) end

---Atomic fetch-and-add; returns the new value (wrapped to 32 bits).
---@param block memory.Pointer
---@param offset integer
---@param delta integer
---@return integer value
function memory.atomic_add_i32(block, offset, delta) end

---Strong atomic compare-and-swap: true when the word equalled `expected` and
---now holds `desired`.
---@param block memory.Pointer
---@param offset integer
---@param expected integer
---@param desired integer
---@return boolean swapped
function memory.cas_i32(block, offset, expected, desired) end

---Publishes `data` in a sequence-locked region: the 32-bit counter at
---`counter_offset` (a multiple of 4) and `region` bytes at `payload_offset`
---(at or after counter_offset + 4; the rest of the region is zeroed).
---Never waits: another writer gives nil, "busy".
---@param block memory.Pointer
---@param counter_offset integer
---@param payload_offset integer
---@param data string
---@param region? integer region length, default #data
---@return true|nil ok
---@return "busy"? reason
function memory.seq_write(block, counter_offset, payload_offset, data, region) end

---Reads `length` bytes of a sequence-locked region without tearing; nil,
---"busy" when no clean copy was made within `attempts` tries.
---@param block memory.Pointer
---@param counter_offset integer
---@param payload_offset integer
---@param length integer
---@param attempts? integer default 8, at least 1
---@return string|nil bytes
---@return "busy"? reason
function memory.seq_read(block, counter_offset, payload_offset, length, attempts) end

---Allocates a zero-filled shared block with reference count 1.  Shared
---blocks survive the host's clean-up and go with their last `release`.
---@param size memory.Size
---@return lightuserdata block
function memory.shared(size) end

---Adds a reference to a shared block.
---Raises "memory: this is not a shared block (p)" for a plain block.
---@param block memory.Pointer
---@return integer count the new reference count
function memory.retain(block) end

---Drops a reference; 0 means the block is gone (its memory goes when the
---last access in progress ends).
---@param block memory.Pointer
---@return integer count the new reference count
function memory.release(block) end

---The reference count of a shared block; 1 for a plain block.
---@param block memory.Pointer
---@return integer count
function memory.refcount(block) end

---Whether the block was made by `shared`.
---@param block memory.Pointer
---@return boolean shared
function memory.is_shared(block) end

return memory
