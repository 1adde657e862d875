-- Blocks across Lua states on threads: the host hook, and frees, resizes and
-- clean-ups that race with a read in progress on another thread.
local T = require("testlib")
local P = T.fmt_p

-- Must run before this state opens the module: the main state has "_env".
T.case("the clean-up hook is registered once, by the first open that finds _env", function()
  T.eq(host.callbacks(), 0)
  local ok = host.run({ code = "require('testlib').memory()", env = false })
  T.eq(ok, true)
  T.eq(host.callbacks(), 0, "callbacks after an open without _env")
  T.memory()
  T.eq(host.callbacks(), 1, "callbacks after the first open with _env")
  T.eq(host.run("require('testlib').memory()"), true)
  T.memory()
  T.eq(host.callbacks(), 1, "callbacks after later opens")
end)

local m = T.memory()
local BIG = 64 * 1024 * 1024

-- Reads the whole block in a loop until a read fails, counting the reads in
-- the shared block `ctl`; returns the number of reads that succeeded and the
-- error of the one that failed.
local READER = [[
  local p, n, ctl = ...
  local m = require("testlib").memory()
  local reads = 0
  while true do
    local ok, err = pcall(m.read, p, 0, n)
    if not ok then return reads, err end
    if #err ~= n then return reads, "short read" end
    reads = reads + 1
    m.atomic_set_i32(ctl, 0, reads)
  end
]]

-- Starts a reader of the block; returns it once it has finished two reads,
-- with the time one read (and what the reader does between two) takes.
local function start_reader(p, n, ctl)
  m.atomic_set_i32(ctl, 0, 0)
  local reader = host.start(READER, p, n, ctl)
  T.wait_until("the reader's first read", function() return m.atomic_i32(ctl, 0) >= 1 end)
  local t = host.clock()
  T.wait_until("the reader's second read", function() return m.atomic_i32(ctl, 0) >= 2 end)
  return reader, host.clock() - t
end

-- Returns at try `try`'s point of the reader's cycle: once its current read
-- has ended, after a share of `cycle` that differs from try to try and
-- covers the whole cycle over a few tries, the read as well as the time
-- between two reads.
local function at_phase(ctl, cycle, try)
  local reads = m.atomic_i32(ctl, 0)
  T.wait_until("the reader's next read", function() return m.atomic_i32(ctl, 0) > reads end)
  host.sleep(cycle * (try * 0.618034 % 1))
end

-- Runs `strike` (which ends the block's life) while a reader thread is busy
-- with the block, until it lands in the middle of a read: then the block must
-- still be counted, unknown to new calls, and gone once the read has ended.
-- A strike between two reads is checked too, and tried again.
local function strike_during_read(strike)
  local ctl = m.shared(4)
  T.retry_until("a strike inside a read", function(try)
    local base = m.count_allocations()
    local p = m.alloc(BIG)
    m.fill(p, 0, BIG, 7)
    local reader, cycle = start_reader(p, BIG, ctl)
    at_phase(ctl, cycle, try)
    strike(p)
    local landed = m.count_allocations() == base + BIG
    if landed then
      T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.size, p)
      T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.read, p, 0, 1)
    end
    local ok, reads, err = reader:join()
    T.eq(ok, true, "reader thread ran")
    T.eq(err, "memory: unknown or freed pointer (" .. P(p) .. ")")
    T.eq(m.count_allocations(), base, "count after the reader ended")
    T.truthy(reads >= 2, "the reader read before the strike")
    return landed
  end)
  m.release(ctl)
end

T.case("free during a read returns at once and the memory goes with the read", function()
  strike_during_read(function(p) m.free(p) end)
end)

T.case("the host clean-up during a read defers the free of that block", function()
  strike_during_read(function() T.eq(host.cleanup(), 1) end)
end)

T.case("realloc is refused while another thread reads the block", function()
  local n = BIG / 4
  local ctl = m.shared(4)
  local p = m.alloc(n)
  local reader, cycle = start_reader(p, n, ctl)
  local refused = T.retry_until("a realloc during a read", function(try)
    at_phase(ctl, cycle, try)
    local ok, q = pcall(m.realloc, p, n)
    if not ok then return q end
    if q ~= p then
      -- The block moved (some allocators always move): the reader has lost
      -- it, so follow the block with a new reader.
      reader:join()
      p = q
      reader, cycle = start_reader(p, n, ctl)
    end
  end)
  T.eq(refused, "memory: this block is being read or written right now (" .. P(p) .. ")")
  T.eq(m.size(p), n, "a refused realloc leaves the block")
  m.free(p)
  reader:join()
  m.release(ctl)
end)

T.case("finalizers use blocks while their state closes, after its own slots are gone", function()
  local p = m.shared(64)
  T.eq(host.run([[
    local p = ...
    local m = require("testlib").memory()
    local u = newproxy(true)
    getmetatable(u).__gc = function() m.write(p, 0, "written while closing") end
    _G.keep = u
  ]], p), true)
  T.eq(m.read(p, 0, 21), "written while closing")
  T.eq(m.release(p), 0)
end)

-- Two states free the same addresses at once, in the same order, so that
-- they meet on most of them: each block must be freed by exactly one, the
-- other told it is unknown, and nothing may be freed twice or left behind.
T.case("two states freeing the same blocks at once free each exactly once", function()
  local base = m.count_allocations()
  local ctl = m.shared(4)
  local FREER = [[
    local ctl, m = select(1, ...), require("testlib").memory()
    local freed = 0
    m.atomic_set_i32(ctl, 0, 1)
    while m.atomic_i32(ctl, 0) == 1 do end
    for i = 2, select("#", ...) do
      if pcall(m.free, (select(i, ...))) then freed = freed + 1 end
    end
    return freed
  ]]
  for _ = 1, 20 do
    local blocks = {}
    for i = 1, 400 do blocks[i] = m.alloc(16) end
    m.atomic_set_i32(ctl, 0, 0)
    local other = host.start(FREER, ctl, unpack(blocks))
    while m.atomic_i32(ctl, 0) == 0 do end
    m.atomic_set_i32(ctl, 0, 2)
    local freed = 0
    for i = 1, #blocks do
      local ok, err = pcall(m.free, blocks[i])
      if ok then
        freed = freed + 1
      else
        T.eq(err, "memory: cannot free an unknown or freed pointer (" .. P(blocks[i]) .. ")")
      end
    end
    local ok, theirs = host.join(other)
    T.eq(ok, true)
    T.eq(freed + theirs, #blocks, "frees that succeeded")
  end
  m.release(ctl)
  T.eq(m.count_allocations(), base)
end)

T.case("the clean-up frees plain blocks of every state", function()
  local base = m.count_allocations()
  local ok, p = host.run([[ local m = require("testlib").memory() return m.alloc(1000) ]])
  T.eq(ok, true)
  local q = m.alloc(24)
  T.eq(m.count_allocations(), base + 1024)
  host.cleanup()
  T.eq(m.count_allocations(), 0)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.size, p)
  T.raises("memory: unknown or freed pointer (" .. P(q) .. ")", m.size, q)
end)

T.finish()
