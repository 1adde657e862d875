-- Soak: four Lua states on threads call every memory and memory.queue function
-- with random arguments, valid and invalid, for a bounded time, while another
-- thread runs the host clean-up at random moments.  Addresses are live, freed,
-- stale (freed, maybe handed out again), foreign (made by another state and
-- passed on a board queue) and shared; offsets and sizes cluster around the
-- bounds; queues are deleted, released and cleaned while others use them.
-- It checks that nothing crashes (nor, in the sanitizer builds, is reported),
-- that every error is one of the modules' messages, and that after the final
-- clean-up no block, shared block or queue made here is left.
--
--   luamods_host test_soak.lua [seconds]      LUAMODS_SOAK_SECONDS overrides
--   LUAMODS_SOAK_SEED=n replays a seed: each state makes the same choices
--   (timing, and with it the addresses behind the choices and the moments of
--   the big-block operations, differs).
--
-- Two states writing the same bytes is allowed by the module, but under
-- ThreadSanitizer it is a race of this test.  There ("strict") a state reads
-- and writes plain bytes only in blocks of its own, whose sizes no other state
-- allocates (the sanitizer allocators keep size classes apart, so such an
-- address never becomes another state's block), only atomics touch shared
-- blocks, and other addresses get only calls that touch no bytes.
local T = require("testlib")
local ffi = require("ffi")
local m, Q = T.memory(), T.queue()
-- Half the calls that touch bytes go through memory.fast: the same registry
-- by LuaJIT's FFI, with the same messages.
local fast = require("memory.fast")
-- And half the item calls through memory.queue.fast, on the same queues.
local qfast = require("memory.queue.fast")

local STATES = 4
local STRICT = os.getenv("LUAMODS_SANITIZER") == "thread"
-- Mapped and unmapped by the C runtime on its own: a big block freed by one
-- state comes back at the same address to the next big request, maybe another
-- state's push.
local BIG = 40 * 2 ^ 20

-- The modules' messages by function (docs/memory.md, docs/memory-queue.md and
-- the texts in the code), addresses and figures in parentheses cut off and
-- numbers written N.
local ALLOWED = {}
local function allow(names, ...)
  for name in names:gmatch("%S+") do
    ALLOWED[name] = ALLOWED[name] or {}
    for _, text in ipairs({ ... }) do ALLOWED[name][text] = true end
  end
end
allow("size read write fill get_i32 set_i32 get_f64 set_f64 atomic_i32 atomic_set_i32 atomic_add_i32 " ..
      "cas_i32 seq_write seq_read drain_all",
      "memory: unknown or freed pointer", "memory: block was already released", "memory: range is out of bounds")
allow("refcount is_shared", "memory: unknown or freed pointer")
allow("read seq_read", "memory: cannot read N bytes")
allow("alloc malloc shared push", "memory: allocation of N bytes failed")
allow("free", "memory: cannot free an unknown or freed pointer",
      "memory: this is a shared block, release it instead of freeing it")
allow("realloc", "memory: cannot realloc an unknown or freed pointer",
      "memory: this is a shared block and must keep its address; allocate a new shared block and copy instead",
      "memory: this block is being read or written right now", "memory: realloc of N bytes failed")
allow("retain", "memory: cannot retain an unknown or freed pointer", "memory: this is not a shared block",
      "memory: this shared block is already released", "memory: too many references to this shared block")
allow("release", "memory: cannot release an unknown or freed pointer", "memory: this is not a shared block",
      "memory: this block was released more often than it was retained")
allow("Q.new Q.shared", "memory.queue: cannot create a queue")
allow("Q.delete", "memory.queue: cannot delete an unknown queue", "memory.queue: this queue is in use right now",
      "memory.queue: this is a shared queue, release it instead of deleting it")
allow("Q.retain", "memory.queue: cannot retain an unknown queue", "memory.queue: this is not a shared queue",
      "memory.queue: this shared queue is already released", "memory.queue: too many references to this shared queue")
allow("Q.release", "memory.queue: cannot release an unknown queue", "memory.queue: this is not a shared queue",
      "memory.queue: this queue was released more often than it was retained")
allow("Q.refcount", "memory.queue: unknown queue")
allow("enqueue dequeue wait_dequeue len drain_all push pop wait_pop", "memory.queue: unknown or deleted queue")
allow("enqueue push", "memory.queue: out of memory")
allow("pop wait_pop", "memory.queue: pop only reads items queued with push")
-- Argument errors: the modules' texts, and Lua's own for a wrong type.
local ARG = {}
for text in ("memory pointer expected|queue pointer expected|pointer expected|max is too large|" ..
             "byte value must be between 0 and 255|offset must be a multiple of 4 for an atomic i32 access|" ..
             "payload is longer than the region|the payload region must start after the sequence counter|" ..
             "attempts must be at least 1"):gmatch("[^|]+") do ARG[text] = true end
for what in ("size offset length max timeout"):gmatch("%S+") do ARG[what .. " must not be negative"] = true end
ARG["timeout must not be NaN"] = true
for what in ("size|offset|length|max|value|delta|expected value|new value|attempts"):gmatch("[^|]+") do
  ARG[what .. " must be a finite integer"] = true
end

-- nil when `err`, raised by function `name`, is one of its messages.
local function complaint(name, err)
  local text = T.message(err)
  local inner = text:match("^bad argument #%d+ to '[^']*' %((.*)%)$")
  if inner then
    if ARG[inner] or inner:match("^%a+ expected, got [%a ]+$") then return nil end
  else
    local key = text:gsub(" %(.*%)$", ""):gsub("%d+", "N")
    if (ALLOWED[name] or {})[key] or key:match("^memory[.a-z]*: out of memory$") then return nil end
  end
  return name .. ": " .. text
end

local function pack(p) return ffi.string(ffi.new("uint64_t[1]", ffi.cast("uintptr_t", p)), 8) end
local function unpack_at(s, i)
  local v = ffi.new("uint64_t[1]")
  ffi.copy(v, s:sub(i, i + 7), 8)
  return ffi.cast("void*", v[0])
end

-- Every function of both tables as the workers name them (a queue function
-- that memory has too is Q.name), each with a flag in the shared block
-- `seen`: the run goes on past its time until each has succeeded once in
-- some state.
local NAMES, SLOT = {}, {}
for fname in pairs(m) do NAMES[#NAMES + 1] = fname end
for fname in pairs(Q) do
  NAMES[#NAMES + 1] = (m[fname] or fname == "new" or fname == "delete") and "Q." .. fname or fname
end
table.sort(NAMES)
for i, fname in ipairs(NAMES) do SLOT[fname] = 4 * (i - 1) end

local function worker(id, seed, seconds, board, allq, ctl, seen)
  math.randomseed(seed + 7919 * id)
  -- Every step draws the same count of numbers, so a seed replays each
  -- state's choices whatever the calls returned.
  local NR, R, k = 16, {}, 0
  local function r(n) k = k % NR + 1; return math.floor(R[k] * n) + 1 end
  local calls, invalid, errors, loops, bad, name, failure, worked = 0, 0, 0, 0, false, nil, nil, {}
  local function tail(ok, ...)
    if ok then
      if not worked[name] and SLOT[name] then m.atomic_set_i32(seen, SLOT[name], 1) end
      worked[name] = true
    else
      errors = errors + 1
      failure = failure or complaint(name, (...))
    end
    return ok, ...
  end
  local function call(fname, f, ...)
    calls, name = calls + 1, fname
    if bad then invalid = invalid + 1 end
    return tail(pcall(f, ...))
  end

  -- What this state knows.  own: its plain blocks that it reads and writes
  -- (strict: sizes in its own range); loose: its other plain blocks; held: its
  -- references to shared blocks; qs, hq: its plain queues and references to
  -- shared queues; foreign (fkind): addresses from the board; taken: items it
  -- dequeued; stale: addresses it freed, released or deleted.
  local own, loose, held, qs, hq, foreign, fkind, taken, stale, made = {}, {}, {}, {}, {}, {}, {}, {}, {}, {}
  local size = {}  -- believed sizes of its blocks
  local function add(list, v) if #list < 24 then list[#list + 1] = v else list[r(24)] = v end end
  local function pick(list) if #list > 0 then return list[r(#list)] end end
  local function drop(list, v)
    for i = #list, 1, -1 do
      if list[i] == v then list[i] = list[#list]; list[#list] = nil; return true end
    end
  end
  local LO, HI = 2 ^ (7 + id) + 1, 2 ^ (8 + id)  -- strict: sizes of own blocks
  local function owned(n) return not STRICT or (n and n >= LO and n <= HI) end

  local JUNK = { 42, "x", {}, true, ffi.cast("void*", 0), ffi.cast("void*", 16), ffi.cast("void*", -1),
                 ffi.new("int64_t", 4096) }
  local BADNUM = { -1, -2 ^ 63, 2 ^ 63, 2 ^ 64, 1 / 0, 0 / 0, "x", true }
  local function junk(for_block)
    bad = true
    local c = r(#JUNK + 3)
    if c <= #JUNK then return JUNK[c] end
    if c == #JUNK + 1 and #own > 0 then return ffi.cast("char*", pick(own)) + r(15) end  -- inside a block
    if c == #JUNK + 2 then  -- the wrong kind
      if not for_block then return pick(own) or pick(held) end
      if not STRICT then return pick(qs) or pick(hq) end
    end
    return nil
  end
  local function number(v)
    if r(12) > 1 then return v end
    bad = true
    return BADNUM[r(#BADNUM + 1)]  -- nil past the end
  end
  -- An offset or length near the bounds of n bytes (multiples of `step`).
  local function near(n, step)
    n = math.max(n or r(64), 0)
    local c, v = r(10), 0
    if c <= 4 then v = r(n + 1) - 1
    elseif c <= 6 then v = n
    elseif c == 7 then v = 0
    elseif c == 8 then v = n + r(8); bad = true
    else return number(r(n + 1) - 1) end
    if step and r(8) > 1 then v = v - v % step end
    return v
  end
  local function after(n, off)
    return near(type(off) == "number" and off <= (n or 64) and (n or 64) - off or n)
  end
  local function new_size(lo, hi)
    local c = r(20)
    if c == 1 then  -- sizes no allocation can meet only now and then: ASan warns of each
      bad = true
      local b = r(40)
      return b <= 4 and ({ 2 ^ 50, 2 ^ 64, 1 / 0, ffi.new("int64_t", -1) })[b] or ({ -1, 0 / 0, "x" })[b % 3 + 1]
    end
    if STRICT then
      if c <= 5 then return r(65) - 1 end  -- tiny: never read or written in place
      return lo + r(hi - lo + 1) - 1
    end
    if c <= 8 then return ({ 0, 1, 3, 4, 5, 7, 8, 9, 12, 16, 17, 31, 32, 33, 64 })[r(15)] end
    return r(c == 20 and 5000 or 600)
  end
  local function text(n)
    if type(n) ~= "number" or not (n >= 0 and n <= 2 ^ 20) then bad = true; return ({ nil, {}, true })[r(3)] end
    return string.rep(string.char(64 + id), n)
  end

  -- Addresses for a block argument (use: "w" plain bytes, "a" atomics, "n"
  -- no bytes touched); `cur` gets the size believed behind it.
  local cur
  local function block(use)
    local c, p = r(10), nil
    local any = not STRICT or use == "n"
    if c <= 4 then p = pick(own)
    elseif c <= 6 then if use ~= "w" or not STRICT then p = pick(held) end
    elseif c == 7 then if any then p = pick(loose) end
    elseif c == 8 then
      local i = #foreign > 0 and r(#foreign)
      if i and (any or use == "a" and fkind[i] == "s") then p = foreign[i] end
    elseif c == 9 then if any then p = pick(taken) end
    elseif any then p = pick(stale); bad = bad or p ~= nil end
    if p == nil then return junk(true) end
    cur = size[p]
    return p
  end
  local function queue()
    local c, q = r(10), nil
    if c <= 4 then q = pick(qs)
    elseif c <= 6 then q = pick(hq)
    elseif c == 7 then q = pick(foreign)
    elseif c == 8 then q = pick(stale); bad = bad or q ~= nil end
    return q or junk(false)
  end
  -- An item for enqueue.  Strict: none that another state reads or writes
  -- in place, since pop and drain_all read what they take.
  local function item()
    local c = r(10)
    local p = (c == 1 and pick(loose)) or (c == 2 and pick(taken))
    if not p and not STRICT then p = pick(({ own, held, qs, hq, stale, foreign })[c - 2] or {}) end
    if c == 10 then return junk(true) end
    return p or ffi.cast("void*", 8 * r(4096))
  end
  -- A time limit for wait_dequeue and wait_pop: mostly short ones, now and
  -- then none (or a huge one, the same) or a wrong one.
  local function limit()
    local c = r(10)
    if c == 1 then return nil end
    if c <= 8 then return ({ 0, 0.5, 1, 4 })[r(4)] end
    if c == 9 then return ({ 1 / 0, 1e300 })[r(2)] end
    bad = true
    return ({ -1, 0 / 0, "5", {} })[r(4)]
  end
  -- memory.queue or memory.queue.fast for one item call.
  local function qf() return r(2) == 1 and qfast or Q end
  local function publish(kind, p)
    if p ~= nil then call("push", Q.push, board, kind .. pack(p)) end
  end

  -- The big operations cost their time, not a share of the steps: at most
  -- one of each kind every 0.4 s, however fast the rest runs.
  local big, next_big = nil, {}
  local function due(kind)
    local now = host.clock()
    if now < (next_big[kind] or 0) then return false end
    next_big[kind] = now + 0.4
    return true
  end
  -- Releases one reference from `list` (taken out of it; a block or queue
  -- released for the last time goes stale), or now and then an address
  -- from other().
  local function release_one(list, fname, f, other)
    if #list > 0 and r(4) > 1 then
      local i = r(#list); local v = list[i]; list[i] = list[#list]; list[#list] = nil
      local ok, n = call(fname, f, v)
      if ok and n == 0 then add(stale, v) end
    else
      call(fname, f, other())
    end
  end
  local ops = {
    { 4, function()
      local n = new_size(LO, HI)
      local f = ({ "alloc", "malloc" })[r(2)]
      local ok, p = call(f, m[f], n)
      if ok then size[p] = n; add(owned(n) and own or loose, p) end
    end },
    { 3, function()
      local p = block("n")
      if call("free", m.free, p) then
        size[p] = nil
        local _ = drop(own, p) or drop(loose, p) or drop(taken, p)
        add(stale, p)
      end
    end },
    { 2, function()
      local p = block("n")
      local n = owned(size[p]) and new_size(LO, HI) or new_size(0, 64)
      local ok, q = call("realloc", m.realloc, p, n)
      if ok then
        local _ = drop(own, p) or drop(loose, p) or drop(taken, p)
        size[p], size[q] = nil, n
        add(owned(n) and own or loose, q)
        if q ~= p then add(stale, p) end
      end
    end },
    { 6, function()
      local p = block("w"); local off = near(cur)
      call("read", (r(2) == 1 and fast or m).read, p, off, after(cur, off))
    end },
    { 6, function()
      local p = block("w"); local off = near(cur)
      call("write", (r(2) == 1 and fast or m).write, p, off, text(after(cur, off)))
    end },
    { 3, function()
      local p = block("w"); local off = near(cur)
      call("fill", (r(2) == 1 and fast or m).fill, p, off, after(cur, off), number(r(256) - 1 + (r(20) == 1 and 256 or 0)))
    end },
    { 4, function()
      local p, f = block("w"), ({ "get_i32", "set_i32", "get_f64", "set_f64" })[r(4)]
      local off = near(cur and cur - 4)
      call(f, (r(2) == 1 and fast or m)[f], p, off, number(({ r(2 ^ 31), -1, 2 ^ 40, 0.5, -2 ^ 63, 1e300 })[r(6)]))
    end },
    { 5, function()
      local p, f = block("a"), ({ "atomic_i32", "atomic_set_i32", "atomic_add_i32", "cas_i32" })[r(4)]
      local off = near(cur and cur - 4, 4)
      call(f, (r(2) == 1 and fast or m)[f], p, off, number(r(7) - 4), number(({ 0, 1, -1, 2 ^ 32 + 1 })[r(4)]))
    end },
    { 3, function()
      local p = block("a"); local c = near(cur and cur - 8, 4)
      local pay = type(c) == "number" and c + 4 + r(6) - (r(10) == 1 and 6 or 1) or near(cur)
      if r(2) == 1 then
        local s = text(after(cur, pay))
        local region = r(3) == 1 and number((type(s) == "string" and #s or 0) + r(4) - 2) or nil
        call("seq_write", (r(2) == 1 and fast or m).seq_write, p, c, pay, s, region)
      else
        -- Not 2^63 attempts: on a counter left odd that would spin for good.
        local a = r(8)
        if a > 4 then bad = true end
        call("seq_read", (r(2) == 1 and fast or m).seq_read, p, c, pay, after(cur, pay), ({ nil, 1, 8, 100, 0, -1, 0 / 0, "x" })[a])
      end
    end },
    { 2, function()
      local n = new_size(65, 128)
      if STRICT and type(n) == "number" and n >= 0 and n < 2 ^ 40 then n = 65 + n % 64 end
      local ok, p = call("shared", m.shared, n)
      if ok then size[p] = n; held[#held + 1] = p; made[#made + 1] = "s" .. pack(p) end
    end },
    { 2, function()
      local p = block("n")
      if call("retain", m.retain, p) then held[#held + 1] = p end
    end },
    { 3, function()
      -- Not held: maybe another state's reference.
      release_one(held, "release", m.release, function() return block("n") end)
    end },
    { 2, function()
      local f = ({ "size", "refcount", "is_shared", "count_allocations" })[r(4)]
      call(f, m[f], block("n"))
    end },
    { 2, function()
      local ok, q = call("Q.new", Q.new)
      if ok then made[#made + 1] = "q" .. pack(q); add(qs, q) end
    end },
    { 1, function()
      local ok, q = call("Q.shared", Q.shared)
      if ok then
        made[#made + 1] = "Q" .. pack(q); hq[#hq + 1] = q
        Q.enqueue(allq, q)  -- so that the cleaner keeps its waiters fed
      end
    end },
    { 2, function()
      local q = queue()
      if call("Q.delete", Q.delete, q) then drop(qs, q); add(stale, q) end
    end },
    { 1, function()
      local q = queue()
      if call("Q.retain", Q.retain, q) then hq[#hq + 1] = q end
    end },
    { 2, function() release_one(hq, "Q.release", Q.release, queue) end },
    { 3, function()
      local f = ({ "Q.refcount", "len" })[r(2)]
      call(f, f == "len" and qf().len or Q.refcount, queue())
    end },
    { 5, function() call("enqueue", qf().enqueue, queue(), item()) end },
    { 4, function()
      local ok, it = call("dequeue", qf().dequeue, queue())
      if ok and it then add(taken, it) end
    end },
    { 1, function()
      -- Never waits for long: plain queues go with the next clean-up, and the
      -- cleaner feeds every shared queue now and then.
      local q = queue()
      if r(2) == 1 then call("enqueue", qf().enqueue, q, item()) end
      local ok, it = call("wait_dequeue", qf().wait_dequeue, q, limit())
      if ok and it then add(taken, it) end
    end },
    { 1, function()
      -- Half the time on a queue of its own, where the string comes back.
      local fresh = r(2) == 1 and select(2, call("Q.new", Q.new))
      local q = fresh or queue()
      if fresh or r(2) == 1 then call("push", qf().push, q, string.rep("w", r(65) - 1)) end
      call("wait_pop", qf().wait_pop, q, limit())
      if fresh then call("Q.delete", Q.delete, fresh) end
    end },
    { 2, function()
      local q, dest = queue(), block("w")
      local max = number(r(math.floor((cur or 64) / 8) + 2) - 1)
      if r(12) == 1 then max, bad = 2 ^ 61, true end  -- too large
      local ok, n = call("drain_all", Q.drain_all, q, dest, max)
      if ok and n > 0 and (not STRICT or size[dest]) then
        local got, s = pcall(m.read, dest, 0, 8 * n)  -- another state may have freed it
        if got then for i = 1, #s, 8 do add(taken, unpack_at(s, i)) end end
      end
    end },
    { 4, function()
      local n = r(5) == 1 and 2048 + r(2048) or r(65) - 1  -- strict: sizes no state reads in place
      call("push", qf().push, queue(), r(20) == 1 and junk(false) or string.rep("p", n))
    end },
    { 4, function() call("pop", qf().pop, queue()) end },
    { 3, function()
      local c = r(6)
      if c == 1 then publish("s", pick(held))
      elseif c == 2 then publish("q", pick(qs))
      elseif c == 3 then publish("Q", pick(hq))
      elseif c == 4 then publish("x", pick(stale))
      elseif c == 5 then publish("b", STRICT and pick(loose) or pick(own))
      else
        local ok, rec = call("pop", Q.pop, board)
        if ok and type(rec) == "string" and #rec == 9 then
          local i = #foreign < 24 and #foreign + 1 or r(24)
          foreign[i], fkind[i] = unpack_at(rec, 2), rec:sub(1, 1)
        end
      end
    end },
    -- A big string pushed and taken back: the C runtime maps it afresh, often
    -- where a big block was just unmapped.
    { 0.5, function()
      if not due("push") then return end
      big = big or string.rep("z", BIG)
      local q = pick(qs)
      if not q then q = select(2, call("Q.new", Q.new)) end
      call("push", Q.push, q, big)
      local ok, it = call("dequeue", Q.dequeue, q)  -- not pop: no Lua string of that size
      if ok and it then call("free", m.free, it) end
    end },
    -- A big block freed, and its stale address freed over and over for a
    -- while: the allocator may hand it to a push meanwhile.
    { 0.5, function()
      if not due("loop") then return end
      local ok, p = call("alloc", m.alloc, BIG)
      if not ok then return end
      call("free", m.free, p)
      publish("x", p)
      local t = host.clock() + 0.03
      repeat  -- counted apart: thousands of the same call
        local freed, err = pcall(m.free, p)
        failure, loops = failure or not freed and complaint("free", err) or nil, loops + 1
      until host.clock() > t
    end },
  }
  local total = 0
  for _, op in ipairs(ops) do total = total + op[1] end

  local function all_seen()
    for _, fname in ipairs(NAMES) do
      if m.atomic_i32(seen, SLOT[fname]) == 0 then return false end
    end
    return true
  end
  local deadline, steps = host.clock() + seconds, 0
  local give_up = deadline + T.PATIENCE
  local ok, err = pcall(function()
    while not failure and (host.clock() < deadline or host.clock() < give_up and not all_seen()) do
      for i = 1, NR do R[i] = math.random() end
      k, bad, steps = 0, false, steps + 1
      local w = R[1] * total
      for _, op in ipairs(ops) do
        w = w - op[1]
        if w < 0 then k = 1; op[2](); break end
      end
      while #held > 12 do call("release", m.release, table.remove(held)) end
      while #hq > 12 do call("Q.release", Q.release, table.remove(hq)) end
    end
  end)
  -- Every reference this state took goes back, whatever happened.
  bad = false
  for _, p in ipairs(held) do call("release", m.release, p) end
  for _, q in ipairs(hq) do call("Q.release", Q.release, q) end
  m.atomic_add_i32(ctl, 0, 1)
  if not ok then error(err, 0) end
  if failure then error(("state %d, step %d: unexpected error: %s"):format(id, steps, failure), 0) end
  local names = {}
  for fname in pairs(worked) do names[#names + 1] = fname end
  return calls, invalid, errors, loops, table.concat(made), table.concat(names, " ")
end

-- Runs the host clean-up at random moments, and feeds every shared queue
-- made by a worker a dummy item now and then so that no wait_dequeue on one
-- waits for ever.  Stops once every worker is done (or has failed: the main
-- state marks them all done once it has joined them).
local function cleaner(seed, allq, ctl)
  math.randomseed(seed)
  local live, runs, wake = {}, 0, ffi.cast("void*", 8)
  while m.atomic_i32(ctl, 0) < STATES do
    host.sleep(math.random() * 0.02)
    if math.random(4) > 1 then host.cleanup(); runs = runs + 1 end
    for q in function() return Q.dequeue(allq) end do live[#live + 1] = q end
    for i = #live, 1, -1 do
      local ok, err = pcall(Q.enqueue, live[i], wake)
      if not ok then
        assert(not complaint("enqueue", err), err)
        live[i] = live[#live]; live[#live] = nil
      end
    end
  end
  return runs
end

local role = ...
if role == "worker" then return worker(select(2, ...)) end
if role == "cleaner" then return cleaner(select(2, ...)) end

T.case("random calls of every function on " .. STATES .. " states with clean-ups", function()
  local seconds = tonumber(os.getenv("LUAMODS_SOAK_SECONDS") or role or 20)
  local seed = tonumber(os.getenv("LUAMODS_SOAK_SEED") or "") or math.floor(host.clock() * 1e6) % 2 ^ 31
  print(("  seed %d (LUAMODS_SOAK_SEED=%d replays it), %g s%s"):format(seed, seed, seconds,
        STRICT and ", strict" or ""))
  io.stdout:flush()
  local base = m.count_allocations()
  local board, allq, ctl, seen = Q.shared(), Q.shared(), m.shared(4), m.shared(4 * #NAMES)
  local threads = {}
  for id = 0, STATES - 1 do
    threads[#threads + 1] = host.start({ file = arg[0] }, "worker", id, seed, seconds, board, allq, ctl, seen)
  end
  local cleaner_thread = host.start({ file = arg[0] }, "cleaner", seed, allq, ctl)
  local calls, invalid, errors, loops, made, failures, worked = 0, 0, 0, 0, {}, {}, {}
  for _, t in ipairs(threads) do
    local ok, c, i, e, l, list, names = t:join()
    if ok then
      calls, invalid, errors, loops = calls + c, invalid + i, errors + e, loops + l
      made[#made + 1] = list
      for fname in names:gmatch("%S+") do worked[fname] = true end
    else
      failures[#failures + 1] = tostring(c)
    end
  end
  m.atomic_set_i32(ctl, 0, STATES)
  local ok, runs = cleaner_thread:join()
  T.eq(ok, true, "cleaner: " .. tostring(runs))
  print(("  %d calls, %d with invalid inputs, %d errors raised; %d frees of stale big blocks in loops; %d clean-ups")
        :format(calls, invalid, errors, loops, runs))
  if #failures > 0 then error(table.concat(failures, "\n")) end
  -- Every function worked at least once.
  for _, fname in ipairs(NAMES) do T.truthy(worked[fname], fname .. " never succeeded") end
  Q.release(board); Q.release(allq); m.release(ctl); m.release(seen)
  host.cleanup()
  made = table.concat(made)
  for i = 1, #made, 9 do
    local kind, p = made:sub(i, i), unpack_at(made, i + 1)
    local ok, shared = pcall(kind == "s" and m.is_shared or Q.refcount, p)
    T.truthy(not ok or kind == "s" and not shared,
             (kind == "s" and "shared block " or "queue ") .. T.fmt_p(p) .. " left over")
  end
  T.eq(m.count_allocations(), base, "bytes held after the final clean-up")
end)

collectgarbage()
T.finish()
