-- memory.queue in one state: lifecycle and its messages, items, strings,
-- drain_all, and what destroying a queue does to the blocks still in it.
local T = require("testlib")
local ffi = require("ffi")
local Q = T.queue()
local m = T.memory()
local P = T.fmt_p
local argerr = T.argerror

local function addr(n) return ffi.cast("void*", n) end
local function lud(p) return ffi.cast("uint64_t", ffi.cast("uintptr_t", p)) end

T.case("plain queues: new, delete and their messages", function()
  local a, b = Q.new(), Q.new()
  T.eq(type(a), "userdata")
  T.truthy(a ~= b, "two queues have two addresses")
  T.eq(Q.refcount(a), 1)
  T.raises("memory.queue: this is not a shared queue (" .. P(a) .. ")", function() Q.retain(a) end)
  T.raises("memory.queue: this is not a shared queue (" .. P(a) .. ")", function() Q.release(a) end)
  Q.delete(a)
  T.raises("memory.queue: cannot delete an unknown queue (" .. P(a) .. ")", function() Q.delete(a) end)
  T.raises("memory.queue: unknown queue (" .. P(a) .. ")", function() Q.refcount(a) end)
  T.raises("memory.queue: unknown or deleted queue (" .. P(a) .. ")", function() Q.len(a) end)
  -- A queue given as a cdata pointer is the same queue.
  Q.enqueue(ffi.cast("void*", b), addr(7))
  T.eq(Q.len(b), 1)
  Q.delete(ffi.cast("uintptr_t", b))
  T.raises("memory.queue: unknown or deleted queue (" .. P(b) .. ")", function() Q.dequeue(b) end)
end)

T.case("shared queues: counts, and every function refuses the address afterwards", function()
  local q = Q.shared()
  T.eq(Q.refcount(q), 1)
  T.eq(Q.retain(q), 2)
  T.eq(Q.refcount(q), 2)
  T.raises("memory.queue: this is a shared queue, release it instead of deleting it (" .. P(q) .. ")",
           function() Q.delete(q) end)
  T.eq(Q.release(q), 1)
  Q.enqueue(q, addr(1))
  T.eq(Q.release(q), 0)
  local p = P(q)
  T.raises("memory.queue: cannot release an unknown queue (" .. p .. ")", function() Q.release(q) end)
  T.raises("memory.queue: cannot retain an unknown queue (" .. p .. ")", function() Q.retain(q) end)
  T.raises("memory.queue: cannot delete an unknown queue (" .. p .. ")", function() Q.delete(q) end)
  T.raises("memory.queue: unknown queue (" .. p .. ")", function() Q.refcount(q) end)
  local gone = "memory.queue: unknown or deleted queue (" .. p .. ")"
  T.raises(gone, function() Q.enqueue(q, addr(1)) end)
  T.raises(gone, function() Q.dequeue(q) end)
  T.raises(gone, function() Q.wait_dequeue(q) end)
  T.raises(gone, function() Q.len(q) end)
  T.raises(gone, function() Q.drain_all(q, addr(1), 0) end)
  T.raises(gone, function() Q.push(q, "x") end)
  T.raises(gone, function() Q.pop(q) end)
  T.raises(gone, function() Q.wait_pop(q) end)
  T.raises(gone, function() Q.wait_pop(q, 10) end)
  T.raises(gone, function() Q.wait_dequeue(q, 0) end)
  T.raises("memory.queue: unknown or deleted queue (" .. P(addr(16)) .. ")", function() Q.len(addr(16)) end)
end)

T.case("argument errors", function()
  local q = Q.new()
  -- Every item function, every kind of wrong value (memory.queue.fast checks
  -- them in Lua, memory.queue in C: the same texts).
  for _, c in ipairs({
    { "enqueue", 1, "queue pointer expected", 12, addr(1) }, { "enqueue", 2, "pointer expected", q, 12 },
    { "enqueue", 2, "pointer expected", q, "x" }, { "dequeue", 1, "queue pointer expected", "q" },
    { "len", 1, "queue pointer expected", {} }, { "wait_dequeue", 1, "queue pointer expected", nil },
    { "wait_pop", 1, "queue pointer expected", 7, 10 }, { "wait_pop", 1, "queue pointer expected", true, 1 },
    { "pop", 1, "queue pointer expected", 0 }, { "push", 2, "string expected, got nil", q, nil },
    { "push", 2, "string expected, got table", q, {} }, { "push", 2, "string expected, got boolean", q, true },
  }) do
    -- Called by name, as the error names the function it was called as.
    local call = assert(loadstring("local Q, a, b = ... Q." .. c[1] .. "(a, b)"))
    T.raises(argerr(c[2], c[1], c[3]), call, Q, c[4], c[5])
  end
  T.raises(argerr(2, "drain_all", "pointer expected"), function() Q.drain_all(q, 0, 0) end)
  T.raises(argerr(3, "drain_all", "max must not be negative"), function() Q.drain_all(q, addr(8), -1) end)
  T.raises(argerr(3, "drain_all", "max is too large"), function() Q.drain_all(q, addr(8), 2^61) end)
  Q.delete(q)
end)

T.case("items: order, empty results, light userdata and cdata", function()
  local q = Q.new()
  T.eq(select("#", Q.dequeue(q)), 0, "dequeue of an empty queue returns nothing")
  T.eq(Q.len(q), 0)
  local block = m.alloc(4)
  Q.enqueue(q, block)
  Q.enqueue(q, addr(0xdeadbeef))
  Q.enqueue(q, ffi.cast("uintptr_t", 0x123456789a))
  T.eq(Q.len(q), 3)
  local b = Q.dequeue(q)
  T.truthy(T.same_address(b, block), "the block comes back")
  local x = Q.dequeue(q)
  T.eq(type(b), T.item_type)
  T.eq(type(x), T.item_type)
  T.truthy(lud(x) == 0xdeadbeef, "cdata item comes back as the same address")
  T.truthy(lud(Q.wait_dequeue(q)) == 0x123456789a, "wait_dequeue takes what is there")
  T.eq(Q.len(q), 0)
  m.free(block)
  Q.delete(q)
end)

-- The two waits with their limits, each called by name and not as a tail
-- call (so that argument errors name it); their results packed.
local function pack(...) return { n = select("#", ...), ... } end
local WAITS = {
  wait_dequeue = function(q, ms) local r = pack(Q.wait_dequeue(q, ms)); return r end,
  wait_pop = function(q, ms) local r = pack(Q.wait_pop(q, ms)); return r end,
}

T.case("time limits: argument errors, 0, expiry gives the empty result, items come at once", function()
  local q = Q.new()
  local bad = { { -1, "timeout must not be negative" }, { -1 / 0, "timeout must not be negative" },
                { 0 / 0, "timeout must not be NaN" }, { "10", "number expected, got string" },
                { true, "number expected, got boolean" }, { {}, "number expected, got table" } }
  for name, wait in pairs(WAITS) do
    for _, c in ipairs(bad) do T.raises(argerr(2, name, c[2]), wait, q, c[1]) end
    -- On an empty queue: what dequeue and pop give, once the limit is over.
    for _, ms in ipairs({ 0, 0.5, 1, 25 }) do
      local t0 = host.clock()
      local r = wait(q, ms)
      T.truthy(host.clock() - t0 >= ms / 1000 - 5e-4, ("%s returned before its limit of %g ms"):format(name, ms))
      T.eq(r.n, name == "wait_pop" and 1 or 0, name .. " results after " .. ms .. " ms")
      T.eq(r[1], nil)
    end
    -- With an item there, any limit (huge ones are none) takes it at once.
    for _, ms in ipairs({ 0, 30, 1e12, 2 ^ 63, 1 / 0 }) do
      local b = m.alloc(3)
      m.write(b, 0, "abc")
      Q.enqueue(q, b)
      local got = wait(q, ms)[1]
      if name == "wait_pop" then T.eq(got, "abc") else T.truthy(T.same_address(got, b)); m.free(b) end
    end
  end
  -- wait_pop is pop: a string pushed, and the error for an item that is not
  -- a plain block, which has still left the queue.
  local long = string.rep("L", 3000)
  for _, ms in ipairs({ nil, 0, 20 }) do
    Q.push(q, long)
    T.eq(Q.wait_pop(q, ms), long)
    Q.enqueue(q, addr(0x4000))
    T.raises("memory.queue: pop only reads items queued with push (" .. P(addr(0x4000)) .. ")",
             function() Q.wait_pop(q, ms) end)
    T.eq(Q.len(q), 0)
  end
  Q.delete(q)
end)

T.case("push and pop: exact bytes, empty and long strings, no block left behind", function()
  local base = m.count_allocations()
  local q = Q.new()
  local long = string.rep("0123456789abcdef", 300) .. "\0tail"
  local strings = { "a\0b\0", "", "plain", long, "\0", string.rep("x", 256), string.rep("y", 257) }
  for _, s in ipairs(strings) do Q.push(q, s) end
  T.eq(Q.len(q), #strings)
  local bytes = 0
  for _, s in ipairs(strings) do bytes = bytes + #s end
  T.eq(m.count_allocations(), base + bytes)
  for i, s in ipairs(strings) do T.eq(Q.pop(q), s, "string " .. i) end
  T.eq(select("#", Q.pop(q)), 1)
  T.eq(Q.pop(q), nil)
  T.eq(m.count_allocations(), base)
  -- dequeue hands a pushed block to the script, which then owns it.
  Q.push(q, "owned")
  local b = Q.dequeue(q)
  T.eq(m.size(b), 5)
  T.eq(m.read(b, 0, 5), "owned")
  m.free(b)
  -- A plain block from alloc put in with enqueue is read whole and freed.
  local a = m.alloc(3)
  m.write(a, 0, "abc")
  Q.enqueue(q, a)
  T.eq(Q.pop(q), "abc")
  T.raises("memory: unknown or freed pointer (" .. P(a) .. ")", function() m.size(a) end)
  T.eq(m.count_allocations(), base)
  Q.delete(q)
end)

T.case("a Lua error while a long string is made is raised as it is; nothing leaks", function()
  if T.fast_queue then
    -- memory.queue.fast makes the string in Lua, where no C++ frame is
    -- between the raise and the caller.
    print("     (skipped: memory.queue.fast makes its strings with ffi.string)")
    return
  end
  -- Finalizers that raise once armed: the collector runs them while the
  -- string of pop or read is being made.
  local armed, base = false, m.count_allocations()
  local q, p, long = Q.new(), m.alloc(1000), string.rep("s", 1000)
  local seen = { pop = 0, read = 0 }
  collectgarbage("setpause", 0)  -- the collector never rests: finalizers run often
  for _ = 1, 100000 do
    -- A varying amount of garbage, so that the collector's phases do not
    -- fall into step with the loop and always meet the same call.
    for _ = 1, math.random(1, 7) do
      local u = newproxy(true)
      getmetatable(u).__gc = function() if armed then error("raised by a finalizer", 0) end end
    end
    Q.push(q, long)
    for name, fn in pairs({ pop = function() return Q.pop(q) end, read = function() return m.read(p, 0, 1000) end }) do
      armed = true
      local ok, err = pcall(fn)
      armed = false
      if ok then T.eq(#err, 1000) else T.eq(err, "raised by a finalizer"); seen[name] = seen[name] + 1 end
    end
    if seen.pop > 0 and seen.read > 0 then break end
  end
  collectgarbage("setpause", 200)
  Q.delete(q)
  m.free(p)
  T.eq(m.count_allocations(), base)
  T.truthy(seen.pop > 0 and seen.read > 0, ("finalizer errors seen: pop %d, read %d"):format(seen.pop, seen.read))
end)

T.case("pop of something that is not a plain block: its message, and the item is gone", function()
  local q = Q.new()
  local foreign = addr(0x4000)
  Q.enqueue(q, foreign)
  Q.push(q, "next")
  T.raises("memory.queue: pop only reads items queued with push (" .. P(foreign) .. ")",
           function() Q.pop(q) end)
  T.eq(Q.len(q), 1)
  T.eq(Q.pop(q), "next")
  -- A freed block is no better.
  local b = m.alloc(8)
  m.free(b)
  Q.enqueue(q, b)
  T.raises("memory.queue: pop only reads items queued with push (" .. P(b) .. ")", function() Q.pop(q) end)
  T.eq(Q.len(q), 0)
  Q.delete(q)
end)

T.case("drain_all: max 0, bounds, partial drains, the addresses written", function()
  local q = Q.new()
  local items = {}
  for i = 1, 5 do
    items[i] = addr(0x1000 * i + 8)
    Q.enqueue(q, items[i])
  end
  -- max 0 never looks at the destination, not even whether it is a block.
  T.eq(Q.drain_all(q, addr(0x10), 0), 0)
  T.eq(Q.drain_all(q, ffi.cast("uintptr_t", 1), 0), 0)
  local small = m.alloc(16)
  T.raises("memory: range is out of bounds (offset 0, length 24, size 16)",
           function() Q.drain_all(q, small, 3) end)
  T.raises("memory: unknown or freed pointer (" .. P(addr(0x10)) .. ")",
           function() Q.drain_all(q, addr(0x10), 1) end)
  T.eq(Q.len(q), 5, "a refused drain takes nothing")
  local dest = m.alloc(24)
  m.fill(dest, 0, 24, 0xff)
  T.eq(Q.drain_all(q, dest, 3), 3)
  T.eq(Q.len(q), 2)
  local got = ffi.cast("uint64_t*", dest)
  for i = 0, 2 do T.truthy(got[i] == lud(items[i + 1]), "slot " .. i) end
  -- Fewer items than max: takes what there is and leaves the rest untouched.
  m.fill(small, 0, 16, 0)
  local wide = m.alloc(64)
  m.fill(wide, 0, 64, 0xab)
  T.eq(Q.drain_all(q, wide, 8), 2)
  local w = ffi.cast("uint64_t*", wide)
  T.truthy(w[0] == lud(items[4]) and w[1] == lud(items[5]), "the last two, in order")
  T.eq(m.read(wide, 16, 48), string.rep("\171", 48))
  T.eq(Q.drain_all(q, wide, 8), 0)
  m.free(small); m.free(dest); m.free(wide)
  Q.delete(q)
end)

T.case("destroying a queue frees the plain blocks in it and nothing else", function()
  local base = m.count_allocations()
  local q = Q.new()
  Q.push(q, string.rep("s", 100))
  Q.push(q, "")
  Q.push(q, "abc")
  local kept = m.alloc(10)
  Q.enqueue(q, kept)
  Q.enqueue(q, addr(0x5000))  -- not a block: left alone
  T.eq(m.count_allocations(), base + 113)
  Q.delete(q)
  T.eq(m.count_allocations(), base, "the pushed strings and the queued block are freed")
  T.raises("memory: unknown or freed pointer (" .. P(kept) .. ")", function() m.size(kept) end)
  -- The last release of a shared queue does the same.
  local s = Q.shared()
  Q.push(s, "12345")
  T.eq(m.count_allocations(), base + 5)
  T.eq(Q.release(s), 0)
  T.eq(m.count_allocations(), base)
end)

T.case("a shared block in a queue survives destruction and pop unchanged", function()
  if not m.shared then
    print("     (skipped: this build of memory has no shared blocks)")
    return
  end
  local base = m.count_allocations()
  local blk = m.shared(32)
  m.write(blk, 0, "shared")
  local q = Q.new()
  Q.enqueue(q, blk)
  Q.delete(q)
  T.eq(m.refcount(blk), 1)
  T.eq(m.read(blk, 0, 6), "shared")
  q = Q.new()
  Q.enqueue(q, blk)
  T.raises("memory.queue: pop only reads items queued with push (" .. P(blk) .. ")", function() Q.pop(q) end)
  T.eq(Q.len(q), 0)
  T.eq(m.refcount(blk), 1)
  T.eq(m.read(blk, 0, 6), "shared")
  T.eq(m.release(blk), 0)
  T.eq(m.count_allocations(), base)
  Q.delete(q)
end)

T.case("the host clean-up keeps the strings of a shared queue and frees a plain queue's", function()
  local base = m.count_allocations()
  local sq, pq = Q.shared(), Q.new()
  Q.push(sq, "kept across clean-ups")
  Q.push(pq, "goes with its queue")
  local plain = m.alloc(10)
  host.cleanup()
  T.raises("memory: unknown or freed pointer (" .. P(plain) .. ")", m.size, plain)
  T.raises("memory.queue: unknown or deleted queue (" .. P(pq) .. ")", Q.len, pq)
  -- The string's block survived: a new block cannot take its address and be
  -- popped (and freed) as if it were the string.
  T.eq(m.count_allocations(), base + #"kept across clean-ups")
  T.eq(Q.pop(sq), "kept across clean-ups")
  T.eq(m.count_allocations(), base)
  T.eq(Q.release(sq), 0)
end)

T.case("a pushed string taken out with dequeue or drain_all is the script's: the clean-up frees it", function()
  local base = m.count_allocations()
  local q = Q.shared()
  Q.push(q, "first")
  Q.push(q, "second")
  Q.push(q, "third")
  Q.push(q, "kept")
  local first = Q.dequeue(q)
  local list = m.alloc(8)
  T.eq(Q.drain_all(q, list, 1), 1)
  local second = ffi.cast("void*", ffi.cast("uint64_t*", list)[0])
  T.eq(m.read(second, 0, 6), "second")
  local third = Q.wait_dequeue(q)
  host.cleanup()
  T.raises("memory: unknown or freed pointer (" .. P(third) .. ")", m.size, third)
  T.raises("memory: unknown or freed pointer (" .. P(first) .. ")", m.size, first)
  T.raises("memory: unknown or freed pointer (" .. P(second) .. ")", m.size, second)
  T.eq(m.count_allocations(), base + #"kept")
  T.eq(Q.pop(q), "kept")
  T.eq(Q.release(q), 0)
  T.eq(m.count_allocations(), base)
end)

T.finish()
