---@meta memory.queue
-- LuaLS definitions of the `memory.queue` module (library Quandel, entry
-- point luaopen_memory_queue; the same file as `memory`, whose blocks it
-- uses).  Load it with
--   local queue = require("memory.queue")
-- Failures raise Lua errors; registry errors begin "memory.queue: " and end
-- with the queue's address in parentheses.

---The address of a queue, valid in every Lua state of the process until the
---queue is deleted or released for the last time.
---@alias memory.queue.Queue lightuserdata|ffi.cdata*

---An item: any address (light userdata or cdata pointer).
---@alias memory.queue.Item lightuserdata|ffi.cdata*

---@class memory.queue
local queue = {}

---Takes one item without waiting; returns no value at all when the queue is
---empty.  Raises "memory.queue: unknown or deleted queue (p)".
---@param q memory.queue.Queue
---@return lightuserdata? item
function queue.dequeue(q) end

---Takes one item, blocking the calling thread until one arrives, or until
---the time limit in milliseconds expires (0: do not wait; nil, or 1e12 and
---more: no limit); then it returns no value at all, as `dequeue` on an empty
---queue.  The item is the caller's: a string sent with `push` arrives as its
---plain block, which the caller reads (`memory.read`) and frees
---(`memory.free`).  A waiter whose queue is deleted by its last `release` or
---by the host's clean-up wakes and raises "memory.queue: unknown or deleted
---queue (p)".  The limit raises "timeout must not be negative", "timeout
---must not be NaN", "number expected, got T".
---@param q memory.queue.Queue
---@param timeout_ms? number
---@return lightuserdata? item
function queue.wait_dequeue(q, timeout_ms) end

---Puts an address into the queue ("pointer expected" for anything else).
---@param q memory.queue.Queue
---@param item memory.queue.Item
function queue.enqueue(q, item) end

---Items available now (approximate while other threads work on the queue).
---@param q memory.queue.Queue
---@return integer count
function queue.len(q) end

---Creates a plain queue: any state may delete it; the host's clean-up
---deletes it.
---@return lightuserdata q
function queue.new() end

---Deletes an idle plain queue and frees the plain blocks still in it.
---Raises "memory.queue: cannot delete an unknown queue (p)", "memory.queue:
---this is a shared queue, release it instead of deleting it (p)",
---"memory.queue: this queue is in use right now (p)".
---@param q memory.queue.Queue
function queue.delete(q) end

---Takes up to `max` items without waiting and stores them as 8-byte
---little-endian addresses at the start of the block `destination`
---(a `memory` block of at least max * 8 bytes; not looked at when max is 0).
---Raises "max must not be negative", "max is too large" and the block
---messages of `memory`.
---@param q memory.queue.Queue
---@param destination lightuserdata|ffi.cdata*
---@param max integer
---@return integer count items taken
function queue.drain_all(q, destination, max) end

---Creates a shared queue with reference count 1; it survives the host's
---clean-up and goes with its last `release`.
---@return lightuserdata q
function queue.shared() end

---Adds a reference to a shared queue.
---@param q memory.queue.Queue
---@return integer count
function queue.retain(q) end

---Drops a reference; at 0 the queue is destroyed (once no operation is in
---progress) and the plain blocks still in it are freed.
---@param q memory.queue.Queue
---@return integer count
function queue.release(q) end

---The reference count of a shared queue; 1 for a plain queue.
---@param q memory.queue.Queue
---@return integer count
function queue.refcount(q) end

---Copies a string into a new plain block and queues its address; `pop`
---reads and frees it.  Raises "memory: allocation of N bytes failed".
---@param q memory.queue.Queue
---@param data string
function queue.push(q, data) end

---Takes one item without waiting and returns the bytes of the plain block it
---names (freeing the block), or nil when the queue is empty.  Raises
---"memory.queue: pop only reads items queued with push (p)" for an item that
---is not a plain block; that item is gone from the queue.
---@param q memory.queue.Queue
---@return string|nil data
function queue.pop(q) end

---`pop` that waits: takes one item, blocking the calling thread until one
---arrives or the time limit in milliseconds expires (0: do not wait; nil, or
---1e12 and more: no limit), and returns the bytes of the plain block it names
---(freeing the block), or nil once the limit expired.  Raises what `pop` and
---`wait_dequeue` raise.
---@param q memory.queue.Queue
---@param timeout_ms? number
---@return string|nil data
function queue.wait_pop(q, timeout_ms) end

return queue
