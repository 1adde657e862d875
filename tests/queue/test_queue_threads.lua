-- memory.queue across Lua states on several threads: delivery exactly once and
-- in each producer's order, strings between states, blocking takes, and
-- waiters of a queue that goes away.
local T = require("testlib")
local ffi = require("ffi")
local Q = T.queue()
local m = T.memory()
local P = T.fmt_p

-- Every thread state starts with this.
local PRELUDE = [[
local T = require("testlib")
local Q, m, ffi = T.queue(), T.memory(), require("ffi")
local function num(p) return tonumber(ffi.cast("uintptr_t", p)) end
]]

local function start(code, ...) return host.start(PRELUDE .. code, ...) end

local function join_ok(t)
  local r = { host.join(t) }
  if not r[1] then error("thread failed: " .. tostring(r[2]), 2) end
  return unpack(r, 2)
end

local function gone(q) return "memory.queue: unknown or deleted queue (" .. P(q) .. ")" end

-- Items are addresses: producer * 2^24 + sequence number (1-based).
local SHIFT = 2 ^ 24
local STOP = 1  -- producer 0, sequence 1: tells a consumer to stop

T.case("3 producers x 3 consumers: every item exactly once, each producer in order", function()
  local producers, consumers, per = 3, 3, 50000
  local q = Q.shared()
  local cons = {}
  for c = 1, consumers do
    cons[c] = start([[
      local q, producers, per, SHIFT, STOP = ...
      local last, seen, n = {}, {}, 0
      for p = 1, producers do last[p] = 0 end
      while true do
        local v = num(Q.wait_dequeue(q))
        if v == STOP then break end
        local p, s = math.floor(v / SHIFT), v % SHIFT
        if not last[p] or s <= last[p] then
          error(("item %d of producer %s after %s"):format(s, p, tostring(last[p])))
        end
        last[p] = s
        seen[(p - 1) * per + s] = true
        n = n + 1
      end
      local bits = {}
      for i = 1, producers * per do bits[i] = seen[i] and "1" or "0" end
      return n, table.concat(bits)
    ]], q, producers, per, SHIFT, STOP)
  end
  local prods = {}
  for p = 1, producers do
    prods[p] = start([[
      local q, p, per, SHIFT = ...
      for s = 1, per do Q.enqueue(q, ffi.cast("void*", p * SHIFT + s)) end
    ]], q, p, per, SHIFT)
  end
  for p = 1, producers do join_ok(prods[p]) end
  -- Once every unit is taken, the stop marks go in.  A consumer may still be
  -- about to dequeue, and take a mark in place of the item it was counted
  -- for: this state takes what is left after the consumers have stopped.
  while Q.len(q) > 0 do host.sleep(0.001) end
  for _ = 1, consumers do Q.enqueue(q, ffi.cast("void*", STOP)) end
  local total, maps = 0, {}
  for c = 1, consumers do
    local n, bits = join_ok(cons[c])
    total = total + n
    maps[c] = bits
  end
  local rest, last = {}, {}
  while true do
    local item = Q.dequeue(q)
    if not item then break end
    local v = tonumber(ffi.cast("uintptr_t", item))
    local p, s = math.floor(v / SHIFT), v % SHIFT
    T.truthy(s > (last[p] or 0), "order of the items left over")
    last[p] = s
    rest[(p - 1) * per + s] = true
    total = total + 1
  end
  T.eq(total, producers * per, "items delivered")
  for i = 1, producers * per do
    local k = rest[i] and 1 or 0
    for c = 1, consumers do
      if maps[c]:byte(i) == 49 then k = k + 1 end
    end
    if k ~= 1 then error(("item %d delivered %d times"):format(i, k)) end
  end
  T.eq(select("#", Q.dequeue(q)), 0)
  T.eq(Q.release(q), 0)
end)

T.case("strings between two states: exact bytes, then no block left", function()
  local base = m.count_allocations()
  local q = Q.shared()
  local n = 2000
  local consumer = start([[
    local q, n = ...
    local got, bad = 0, nil
    while got < n do
      local s = Q.pop(q)
      if s == nil then
        host.sleep(0)
      else
        got = got + 1
        local i = got
        local want = i % 3 == 0 and "" or (("\0%d\0"):format(i)):rep(i % 97 + 1)
        if s ~= want and not bad then bad = ("string %d: %q"):format(i, s) end
      end
    end
    return bad or "ok"
  ]], q, n)
  local producer = start([[
    local q, n = ...
    for i = 1, n do
      Q.push(q, i % 3 == 0 and "" or (("\0%d\0"):format(i)):rep(i % 97 + 1))
    end
  ]], q, n)
  join_ok(producer)
  T.eq(join_ok(consumer), "ok")
  T.eq(m.count_allocations(), base)
  T.eq(Q.release(q), 0)
end)

T.case("a stale free racing push: the pushed block is whole before anyone can name it", function()
  -- The allocator hands a freed 64 MiB block's address back to the next
  -- push of the same size, while another state keeps freeing that stale
  -- address.  The push may lose its string to such a free, but never copy
  -- into freed memory.
  local N, rounds = 64 * 2 ^ 20, 12
  local data = string.rep("q", N)
  local stale = m.alloc(N)
  m.free(stale)
  local ctl = m.shared(4)
  local freer = start([[
    local x, ctl = ...
    local frees = 0
    while m.atomic_i32(ctl, 0) == 0 do
      if pcall(m.free, x) then frees = frees + 1 end
    end
    return frees
  ]], stale, ctl)
  local q = Q.new()
  local popped = 0
  for _ = 1, rounds do
    Q.push(q, data)
    local ok, s = pcall(Q.pop, q)
    if ok then
      T.eq(#s, N, "popped length")
      T.truthy(s == data, "popped bytes")
      popped = popped + 1
    else
      T.eq((s:gsub("^[^\n]-:%d+: ", "")), "memory.queue: pop only reads items queued with push (" .. P(stale) .. ")")
    end
  end
  m.atomic_set_i32(ctl, 0, 1)
  local frees = join_ok(freer)
  print(("     %d of %d strings popped whole, %d taken by the stale free"):format(popped, rounds, frees))
  Q.delete(q)
  m.release(ctl)
end)

T.case("strings taken with wait_dequeue in another state are that state's blocks: the clean-up frees them", function()
  local base = m.count_allocations()
  local q = Q.shared()
  local n = 500
  local consumer = start([[
    local q, n = ...
    for i = 1, n do
      local b = Q.wait_dequeue(q)
      if m.read(b, 0, m.size(b)) ~= tostring(i) then return "string " .. i end
    end
    return "ok"
  ]], q, n)
  local producer = start([[
    local q, n = ...
    for i = 1, n do Q.push(q, tostring(i)) end
  ]], q, n)
  join_ok(producer)
  T.eq(join_ok(consumer), "ok")
  T.truthy(m.count_allocations() > base, "the taken strings are still listed")
  host.cleanup()
  T.eq(m.count_allocations(), base)
  T.eq(Q.release(q), 0)
end)

T.case("wait_dequeue returns when another state enqueues; len is 0 meanwhile", function()
  local ready = Q.new()
  -- The delete must come while the waiter is inside wait_dequeue.  Had it
  -- not got in yet, the delete ends the queue and the waiter fails on its
  -- own: checked, and tried again with a new queue.
  T.retry_until("a delete refused while a thread waits", function()
    local q = Q.new()
    local waiter = start([[
      local q, ready = ...
      Q.enqueue(ready, q)
      local ok, item = pcall(Q.wait_dequeue, q)
      if not ok then return false, T.message(item) end
      return true, num(item), host.clock()
    ]], q, ready)
    Q.wait_dequeue(ready)
    host.sleep(0.2)  -- mostly long past the spinning: it sleeps in the semaphore
    T.eq(Q.len(q), 0, "len while a thread waits")
    local deleted, err = pcall(Q.delete, q)
    if deleted then
      local ok, why = join_ok(waiter)
      T.eq(ok, false, "a waiter on a deleted queue")
      T.eq(why, gone(q))
      return false
    end
    T.eq(T.message(err), "memory.queue: this queue is in use right now (" .. P(q) .. ")")
    local t0 = host.clock()
    Q.enqueue(q, ffi.cast("void*", 0xabc0))
    local ok, item, t1 = join_ok(waiter)
    T.eq(ok, true, "the waiter took an item")
    T.eq(item, 0xabc0)
    print(("     woke after %.3f s"):format(t1 - t0))
    T.eq(Q.len(q), 0)
    Q.delete(q)
    return true
  end)
  Q.delete(ready)
end)

-- Waits on q; counts its return in the shared block `back`.
local WAITER = [[
  local q, ready, back, wait, limit = ...
  Q.enqueue(ready, q)
  local ok, err = pcall(Q[wait or "wait_dequeue"], q, limit)
  local t = host.clock()
  m.atomic_add_i32(back, 0, 1)
  return ok, T.message(err), t
]]

-- Starts n waiters on q; returns once all have reached their wait, and (as a
-- rule, not a condition of any check) are past its spinning.  Waiter i calls
-- waits[i] (wait_dequeue) with limits[i] (none).
local function start_waiters(q, n, waits, limits)
  local ready, back = Q.new(), m.shared(4)
  local ws = { back = back }
  local short = false  -- a waiter with a short limit may give up any time
  for i = 1, n do
    ws[i] = start(WAITER, q, ready, back, waits and waits[i], limits and limits[i])
    short = short or (limits and limits[i] and limits[i] < 60000)
  end
  for _ = 1, n do Q.wait_dequeue(ready) end
  host.sleep(0.2)
  Q.delete(ready)
  if not short then T.eq(m.atomic_i32(back, 0), 0, "waiters that returned before the queue went") end
  return ws
end

-- Every one of the waiters returns, each with the error of a queue gone and
-- no item.  Waited for through the count, so that a waiter left blocked is a
-- failure, not a hang.
local function expect_woken(ws, q, t0)
  local back = ws.back
  -- A waiter left blocked fails the count, before any join could hang.
  pcall(T.wait_until, "the waiters to return", function() return m.atomic_i32(back, 0) == #ws end)
  T.eq(m.atomic_i32(back, 0), #ws, "waiters that returned")
  local slowest = 0
  for i, w in ipairs(ws) do
    local taken, err, t1 = join_ok(w)
    T.eq(taken, false, "waiter " .. i .. " returned an item")
    T.eq(err, gone(q))
    slowest = math.max(slowest, t1 - t0)
  end
  print(("     %d waiters woke within %.3f s"):format(#ws, slowest))
  m.release(back)
end

T.case("the last release wakes every waiter, which fail; then the queue is gone", function()
  local base = m.count_allocations()
  local q = Q.shared()
  T.eq(Q.retain(q), 2)
  local ws = start_waiters(q, 3)
  T.eq(Q.release(q), 1)  -- not the last: they go on waiting
  local t0 = host.clock()
  T.eq(Q.release(q), 0)
  expect_woken(ws, q, t0)
  T.raises("memory.queue: unknown queue (" .. P(q) .. ")", function() Q.refcount(q) end)
  T.eq(m.count_allocations(), base)
end)

T.case("waiters with and without a time limit wake with the error when the last release goes", function()
  local base = m.count_allocations()
  local waits = { "wait_dequeue", "wait_pop", "wait_dequeue", "wait_pop" }
  local limits = { 60000, 60000, 1 / 0, nil }
  local q = Q.shared()
  Q.push(q, "taken before")
  T.eq(Q.wait_pop(q, 60000), "taken before")
  local ws = start_waiters(q, #waits, waits, limits)
  local t0 = host.clock()
  T.eq(Q.release(q), 0)
  expect_woken(ws, q, t0)
  T.eq(m.count_allocations(), base)
end)

T.case("waiters with a limit: one item goes to one of them at most, the others give up", function()
  local base = m.count_allocations()
  local q = Q.new()
  local ws = start_waiters(q, 3, { "wait_pop", "wait_pop", "wait_pop" }, { 300, 300, 300 })
  Q.push(q, "for one of them")
  local got = 0
  for i, w in ipairs(ws) do
    local ok, v = join_ok(w)
    T.eq(ok, true, "waiter " .. i)
    if v == "for one of them" then got = got + 1 else T.eq(v, "nil", "waiter " .. i .. " after its limit") end
  end
  -- On a slow machine all of them may have given up before the push.
  T.eq(got + Q.len(q), 1, "the string taken once or left in the queue")
  Q.delete(q)
  m.release(ws.back)
  T.eq(m.count_allocations(), base)
end)

T.case("a queue deleted under busy traffic: nothing delivered twice, nothing leaked", function()
  local base = m.count_allocations()
  for round = 1, 15 do
    local q = Q.shared()
    -- Takes blocks with wait_dequeue and frees them: a block delivered twice
    -- fails its second free.
    local waiter = start([[
      local q = ...
      local n = 0
      while true do
        local ok, b = pcall(Q.wait_dequeue, q)
        if not ok then return n, (tostring(b):gsub("^[^\n]-:%d+: ", "")) end
        m.free(b)
        n = n + 1
      end
    ]], q)
    -- Takes strings with pop, which never waits.
    local popper = start([[
      local q = ...
      local n = 0
      while true do
        local ok, s = pcall(Q.pop, q)
        if not ok then return n, (tostring(s):gsub("^[^\n]-:%d+: ", "")) end
        if s then n = n + 1 else host.sleep(0) end
      end
    ]], q)
    local producer = start([[
      local q = ...
      local n = 0
      while true do
        local ok, err = pcall(Q.push, q, "payload")
        if not ok then return n, (tostring(err):gsub("^[^\n]-:%d+: ", "")) end
        n = n + 1
        if n % 64 == 0 then host.sleep(0) end
      end
    ]], q)
    host.sleep(0.02 + 0.005 * round)
    T.eq(Q.release(q), 0)
    local taken1, e1 = join_ok(waiter)
    local taken2, e2 = join_ok(popper)
    local pushed, e3 = join_ok(producer)
    T.eq(e1, gone(q)); T.eq(e2, gone(q)); T.eq(e3, gone(q))
    T.truthy(taken1 + taken2 <= pushed, "more taken than pushed")
    T.eq(m.count_allocations(), base, "round " .. round)
  end
end)

-- The last one out: a state ends its use of a queue just as another releases
-- it.  Either the releaser sees no use and destroys the queue, or the user
-- sees the queue retired and destroys it on its way out: the strings in it
-- are gone as soon as both calls have returned, in every round.  (A missed
-- hand-over leaves the queue for some later registry write.)
T.case("a queue released under a use is destroyed by the last one out, every round", function()
  local rounds = tonumber(os.getenv("LUAMODS_LAST_OUT_ROUNDS")) or 3000
  local base = m.count_allocations()
  local ctl = m.alloc(16)
  m.fill(ctl, 0, 16, 0)
  local chan = Q.new()
  local user = start([[
    local chan, ctl = ...
    local round = 0
    while true do
      local q = Q.wait_dequeue(chan)
      if num(q) == 1 then return round end
      round = round + 1
      pcall(Q.len, q)
      m.atomic_set_i32(ctl, 0, round)          -- in use
      repeat pcall(Q.len, q) until m.atomic_i32(ctl, 4) == round
      m.atomic_set_i32(ctl, 8, round)          -- stopped
    end
  ]], chan, ctl)
  local missed = 0
  for round = 1, rounds do
    local q = Q.shared()
    for i = 1, 4 do Q.push(q, ("string %d of round %d"):format(i, round)) end
    Q.enqueue(chan, q)
    while m.atomic_i32(ctl, 0) ~= round do end
    T.eq(Q.release(q), 0)
    m.atomic_set_i32(ctl, 4, round)
    while m.atomic_i32(ctl, 8) ~= round do end
    if m.count_allocations() ~= base + 16 then missed = missed + 1 end
  end
  Q.enqueue(chan, ffi.cast("void*", 1))
  T.eq(join_ok(user), rounds)
  Q.delete(chan)
  m.free(ctl)
  T.eq(missed, 0, ("rounds of %d that left the queue behind"):format(rounds))
end)

-- Last: the host clean-up also frees every plain block of the process.
T.case("the host clean-up wakes the waiters on a plain queue and destroys the queue", function()
  T.truthy(host.callbacks() >= 2, "both modules registered a clean-up callback")
  local q = Q.new()
  local shared = Q.shared()
  Q.enqueue(shared, ffi.cast("void*", 0x7000))
  -- One waits without a limit, two with one (wait_pop's and wait_dequeue's).
  local ws = start_waiters(q, 3, { "wait_dequeue", "wait_pop", "wait_dequeue" }, { nil, 60000, 60000 })
  local t0 = host.clock()
  host.cleanup()
  expect_woken(ws, q, t0)
  T.raises("memory.queue: cannot delete an unknown queue (" .. P(q) .. ")", function() Q.delete(q) end)
  T.eq(tonumber(ffi.cast("uintptr_t", Q.dequeue(shared))), 0x7000, "a shared queue is left alone")
  T.eq(Q.release(shared), 0)
end)

-- The host frees a thread's record when its handle is collected; os.exit in
-- T.finish would skip that and leave the records to the leak checker.
collectgarbage()
T.finish()
