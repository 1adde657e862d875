-- 32-bit integers, doubles and 32-bit atomics in blocks, from one thread and
-- from several.
local T = require("testlib")
local m = T.memory()
local P = T.fmt_p
-- Functions are called straight through pcall, so errors carry no source
-- position and argument errors name no function.
local function argerr(n, msg) return T.argerror(n, "?", msg) end

T.case("i32 keeps the low 32 bits and reads back sign-extended", function()
  local p = m.alloc(12)
  m.set_i32(p, 0, 4294967295)
  T.eq(m.get_i32(p, 0), -1)
  m.set_i32(p, 0, 2 ^ 32 + 5)
  T.eq(m.get_i32(p, 0), 5)
  m.set_i32(p, 0, -2147483648)
  T.eq(m.get_i32(p, 0), -2147483648)
  -- native (little-endian) byte order, at an unaligned offset
  m.set_i32(p, 5, 0x01020304)
  T.eq(m.read(p, 5, 4), "\4\3\2\1")
  T.eq(m.get_i32(p, 5), 0x01020304)
  m.free(p)
end)

T.case("f64 round-trips at any offset, up to the last byte", function()
  local p = m.alloc(11)
  for _, v in ipairs({ 0.1, -1e300, 1 / 0, 2 ^ 53 + 1 }) do
    m.set_f64(p, 3, v)
    T.eq(m.get_f64(p, 3), v)
  end
  m.set_f64(p, 0, 0 / 0)
  T.truthy(m.get_f64(p, 0) ~= m.get_f64(p, 0), "NaN")
  T.raises("memory: range is out of bounds (offset 4, length 8, size 11)", m.get_f64, p, 4)
  T.raises("memory: range is out of bounds (offset 8, length 4, size 11)", m.get_i32, p, 8)
  m.free(p)
end)

T.case("atomics: wrap-around, compare-and-swap, exchange-store", function()
  local p = m.shared(8)
  m.set_i32(p, 4, 2147483647)
  T.eq(m.atomic_add_i32(p, 4, 1), -2147483648)
  T.eq(m.atomic_add_i32(p, 4, -1), 2147483647)
  T.eq(m.atomic_add_i32(p, 4, 2 ^ 32 + 3), -2147483646)  -- delta keeps its low 32 bits
  m.atomic_set_i32(p, 0, 7)
  T.eq(m.cas_i32(p, 0, 7, 9), true)
  T.eq(m.atomic_i32(p, 0), 9)
  T.eq(m.cas_i32(p, 0, 7, 9), false)
  T.eq(m.atomic_i32(p, 0), 9)
  -- expected and desired are truncated like stored values
  m.atomic_set_i32(p, 0, -1)
  T.eq(m.cas_i32(p, 0, 4294967295, 2 ^ 32 + 1), true)
  T.eq(m.get_i32(p, 0), 1)
  m.release(p)
end)

T.case("argument errors: positions, order of checks, nothing written", function()
  local p = m.alloc(16)
  m.fill(p, 0, 16, 0)
  local negative = argerr(2, "offset must not be negative")
  for _, f in ipairs({ "get_i32", "set_i32", "get_f64", "set_f64" }) do
    T.raises(argerr(1, "memory pointer expected"), m[f], 1234, 0, 0)
    T.raises(negative, m[f], p, -1, 0)
  end
  -- plain access takes any offset; atomics want a multiple of 4, checked after the sign
  m.set_i32(p, 2, 3)
  T.eq(m.get_i32(p, 2), 3)
  local unaligned = "offset must be a multiple of 4 for an atomic i32 access"
  for _, f in ipairs({ "atomic_i32", "atomic_set_i32", "atomic_add_i32", "cas_i32" }) do
    T.raises(argerr(1, "memory pointer expected"), m[f], "x", 2)
    T.raises(negative, m[f], p, -4, 0, 0)
    T.raises(negative, m[f], p, -2)  -- the sign check wins
    T.raises(argerr(2, unaligned), m[f], p, 2, 0, 0)
    -- an earlier argument's error wins over a missing later one
    T.raises(argerr(2, unaligned), m[f], p, 6)
  end
  T.raises(argerr(3, "number expected, got no value"), m.set_i32, p, 0)
  T.raises(argerr(3, "number expected, got string"), m.set_f64, p, 0, "x")
  T.raises(argerr(4, "number expected, got no value"), m.cas_i32, p, 0, 1)
  T.raises(argerr(3, "number expected, got no value"),
           m.atomic_add_i32, p, 0)
  -- a failed bounds check writes nothing
  T.raises("memory: range is out of bounds (offset 16, length 4, size 16)",
           m.atomic_set_i32, p, 16, -1)
  T.raises("memory: range is out of bounds (offset 12, length 8, size 16)",
           m.set_f64, p, 12, 1)
  T.eq(m.read(p, 12, 4), "\0\0\0\0")
  m.free(p)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.atomic_add_i32, p, 0, 1)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", m.get_f64, p, 0)
end)

-- Starts n states that wait for a common go flag (so they really overlap)
-- and returns their results.
local function race(n, code, ...)
  local ctl = m.shared(4)
  local threads = {}
  for i = 1, n do
    threads[i] = host.start([[
      local ctl, i = ...
      local m = require("testlib").memory()
      m.atomic_add_i32(ctl, 0, 1)
      while m.atomic_i32(ctl, 0) > 0 do end
      ]] .. code, ctl, i, ...)
  end
  while m.atomic_i32(ctl, 0) < n do end
  m.atomic_set_i32(ctl, 0, -1)
  local results = {}
  for i = 1, n do
    local ok, r = host.join(threads[i])
    T.truthy(ok, tostring(r))
    results[i] = r
  end
  m.release(ctl)
  return results
end

T.case("two threads x 100000 atomic_add_i32 of 1 leave 200000", function()
  local p = m.shared(64)
  race(2, [[
    local _, _, p = ...
    for _ = 1, 100000 do m.atomic_add_i32(p, 32, 1) end
    return true ]], p)
  T.eq(m.atomic_i32(p, 32), 200000)
  T.eq(m.read(p, 0, 32), string.rep("\0", 32), "neighbouring bytes")
  m.release(p)
end)

T.case("four threads incrementing with cas_i32 lose no update", function()
  local p = m.shared(4)
  local retries = race(4, [[
    local _, _, p, n = ...
    local retries = 0
    for _ = 1, n do
      while true do
        local v = m.atomic_i32(p, 0)
      for _ = 1, 30 do end  -- widen the window for a competing update
        if m.cas_i32(p, 0, v, v + 1) then break end
        retries = retries + 1
      end
    end
    return retries ]], p, 25000)
  T.eq(m.atomic_i32(p, 0), 100000)
  print(string.format("     cas retries per thread: %d %d %d %d", retries[1], retries[2], retries[3], retries[4]))
  m.release(p)
end)

T.finish()
