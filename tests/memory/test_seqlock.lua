-- Sequence-locked regions: layout, contention results, argument checks, and
-- readers racing a writer without ever seeing a torn record.
local T = require("testlib")
local m = T.memory()
local P = T.fmt_p
-- Functions are called straight through pcall, so errors carry no source
-- position and argument errors name no function.
local function argerr(n, msg) return T.argerror(n, "?", msg) end

T.case("write publishes and bumps the counter by 2; read copies the record", function()
  local p = m.shared(64)
  T.eq(m.seq_write(p, 0, 4, "abc"), true)
  T.eq(m.atomic_i32(p, 0), 2)
  T.eq(m.seq_read(p, 0, 4, 3), "abc")
  T.eq(m.seq_write(p, 0, 4, "abcd"), true)
  T.eq(m.seq_write(p, 0, 4, "ab", 4), true)  -- the rest of the region is zeroed
  T.eq(m.seq_read(p, 0, 4, 5, 1), "ab\0\0\0")
  T.eq(m.atomic_i32(p, 0), 6)
  T.eq(m.seq_write(p, 0, 4, "xyz", nil), true)  -- nil region: the data's length
  T.eq(m.read(p, 4, 4), "xyz\0")
  T.eq(m.seq_read(p, 0, 4, 0), "")
  -- counter and region need not touch; the counter wraps and stays even
  m.atomic_set_i32(p, 16, -2)
  T.eq(m.seq_write(p, 16, 40, "far", 24), true)
  T.eq(m.atomic_i32(p, 16), 0)
  T.eq(m.seq_read(p, 16, 40, 24), "far" .. string.rep("\0", 21))
  T.eq(m.read(p, 20, 20), string.rep("\0", 20), "bytes between counter and region")
  m.release(p)
end)

T.case("an odd counter makes both sides busy and changes nothing", function()
  local p = m.shared(16)
  m.seq_write(p, 0, 4, "keep")
  m.atomic_set_i32(p, 0, 1)
  local v, e = m.seq_write(p, 0, 4, "lost")
  T.eq(v, nil)
  T.eq(e, "busy")
  T.eq(m.atomic_i32(p, 0), 1)
  T.eq(m.read(p, 4, 4), "keep")
  v, e = m.seq_read(p, 0, 4, 4, 100)
  T.eq(v, nil)
  T.eq(e, "busy")
  v, e = m.seq_read(p, 0, 4, 0)
  T.eq(e, "busy")
  m.atomic_set_i32(p, 0, 2)
  T.eq(m.seq_read(p, 0, 4, 4), "keep")
  m.release(p)
end)

T.case("argument errors in order, then the access check", function()
  local p = m.shared(16)
  local unaligned = "offset must be a multiple of 4 for an atomic i32 access"
  local after = "the payload region must start after the sequence counter"
  local negative = "offset must not be negative"
  for _, f in ipairs({ "seq_write", "seq_read" }) do
    T.raises(argerr(1, "memory pointer expected"), m[f], 0, 0, 4, "")
    T.raises(argerr(2, negative), m[f], p, -2, 4, "")
    T.raises(argerr(2, unaligned), m[f], p, 2, 4, "")
    T.raises(argerr(2, unaligned), m[f], p, 6, -1, "")
    T.raises(argerr(3, negative), m[f], p, 0, -1, "")
    T.raises(argerr(3, after), m[f], p, 0, 2, 1)
    T.raises(argerr(3, after), m[f], p, 8, 0, 1)
  end
  T.raises(argerr(4, "string expected, got table"), m.seq_write, p, 0, 2, {})
  T.raises(argerr(5, "length must not be negative"), m.seq_write, p, 0, 2, "ab", -1)
  T.raises(argerr(4, "payload is longer than the region"), m.seq_write, p, 0, 2, "abc", 2)
  T.raises(argerr(4, "length must not be negative"), m.seq_read, p, 0, 2, -1)
  T.raises(argerr(5, "attempts must be at least 1"), m.seq_read, p, 0, 2, 1, 0)
  T.raises(argerr(5, "number expected, got string"), m.seq_read, p, 0, 2, 1, "x")
  -- span from the counter to the region's end: one byte too far
  T.raises("memory: range is out of bounds (offset 4, length 13, size 16)", m.seq_write, p, 4, 8, "", 9)
  T.raises("memory: range is out of bounds (offset 4, length 13, size 16)", m.seq_read, p, 4, 8, 9)
  T.eq(m.seq_write(p, 4, 8, "", 8), true)
  T.eq(m.atomic_i32(p, 4), 2)
  m.release(p)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.seq_write, p, 0, 4, "x")
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.seq_read, p, 0, 4, 1)
end)

T.case("a writer alternating records and two readers: nothing torn", function()
  local A, B = string.rep("A", 32), string.rep("B", 32)
  local p = m.shared(4 + 32)
  local ctl = m.shared(8)  -- [0] readers finished, [4] states started
  m.seq_write(p, 0, 4, A)
  local writer = host.start([[
    local p, ctl = ...
    local m = require("testlib").memory()
    local rec = { string.rep("A", 32), string.rep("B", 32) }
    m.atomic_add_i32(ctl, 4, 1)
    local writes, busy = 0, 0
    while m.atomic_i32(ctl, 0) < 2 do
      if m.seq_write(p, 0, 4, rec[writes % 2 + 1]) then writes = writes + 1 else busy = busy + 1 end
    end
    return writes, busy ]], p, ctl)
  local reader_code = [[
    local p, ctl, n, attempts = ...
    local T = require("testlib")
    local m = T.memory()
    local A, B = string.rep("A", 32), string.rep("B", 32)
    m.atomic_add_i32(ctl, 4, 1)
    while m.atomic_i32(ctl, 4) < 3 do end
    -- At least n reads, and on until both records were seen: a writer that
    -- got little time on a busy machine is waited for, within a bound.
    local give_up = host.clock() + T.PATIENCE
    local a, b, busy, torn, reads = 0, 0, 0, 0, 0
    while reads < n or (a == 0 or b == 0) and (reads % 4096 ~= 0 or host.clock() < give_up) do
      reads = reads + 1
      local s = m.seq_read(p, 0, 4, 32, attempts)
      if s == A then a = a + 1 elseif s == B then b = b + 1
      elseif s == nil then busy = busy + 1 else torn = torn + 1 end
    end
    m.atomic_add_i32(ctl, 0, 1)
    return a, b, busy, torn, reads ]]
  local readers = { host.start(reader_code, p, ctl, 500000, 1), host.start(reader_code, p, ctl, 500000, 8) }
  local a, b, busy, torn, reads = 0, 0, {}, 0, 0
  for i, r in ipairs(readers) do
    local ok, ra, rb, rbusy, rtorn, rreads = host.join(r)
    T.eq(ok, true, tostring(ra))
    a, b, busy[i], torn, reads = a + ra, b + rb, rbusy, torn + rtorn, reads + rreads
  end
  local ok, writes, wbusy = host.join(writer)
  T.eq(ok, true, tostring(writes))
  print(string.format("     reads %d (A %d, B %d), busy %d (1 attempt) + %d (8 attempts), torn %d;"
                      .. " writes %d, writer busy %d", a + b + busy[1] + busy[2], a, b, busy[1], busy[2],
                      torn, writes, wbusy))
  T.eq(torn, 0, "torn records")
  T.eq(a + b + busy[1] + busy[2], reads)
  T.truthy(a > 0 and b > 0, "both records were read")
  T.eq(wbusy, 0, "a single writer is never busy")
  T.eq(m.atomic_i32(p, 0), 2 + 2 * writes)
  m.release(p)
  m.release(ctl)
end)

T.case("two racing writers: one claim at a time, no count lost", function()
  -- long records, so that a claim often meets the other writer's
  local p = m.shared(4 + 4096)
  local ctl = m.shared(4)
  local code = [[
    local p, ctl, c = ...
    local m = require("testlib").memory()
    m.atomic_add_i32(ctl, 0, 1)
    while m.atomic_i32(ctl, 0) < 2 do end
    local rec, done, busy = string.rep(c, 4096), 0, 0
    while done < 2000 do
      if m.seq_write(p, 0, 4, rec) then done = done + 1 else busy = busy + 1 end
    end
    return done, busy ]]
  local t1, t2 = host.start(code, p, ctl, "X"), host.start(code, p, ctl, "Y")
  local ok1, d1, b1 = host.join(t1)
  local ok2, d2, b2 = host.join(t2)
  T.truthy(ok1 and ok2, tostring(d1) .. tostring(d2))
  print(string.format("     writes %d + %d, busy %d + %d", d1, d2, b1, b2))
  T.eq(m.atomic_i32(p, 0), 2 * 4000)
  local s = m.seq_read(p, 0, 4, 4096)
  T.truthy(s == string.rep("X", 4096) or s == string.rep("Y", 4096), "a whole record")
  m.release(p)
  m.release(ctl)
end)

T.finish()
