-- Block operations in one state: results, bytes, and every message with its
-- argument position and address.
local T = require("testlib")
local ffi = require("ffi")
local m = T.memory()
local P = T.fmt_p
local argerr = T.argerror

T.case("alloc, write, read, fill and size round-trip bytes", function()
  local p = m.alloc(16)
  T.eq(type(p), "userdata")
  T.eq(m.malloc, m.alloc)
  T.eq(m.size(p), 16)
  m.write(p, 0, "0123456789abcdef")
  T.eq(m.read(p, 0, 16), "0123456789abcdef")
  m.fill(p, 4, 8, 0x2a)
  T.eq(m.read(p, 0, 16), "0123********cdef")
  m.write(p, 2, "a\0b")
  T.eq(m.read(p, 1, 4), "1a\0b")
  m.write(p, 16, "")            -- offset == size, length 0
  T.eq(m.read(p, 16, 0), "")
  m.fill(p, 0, 16, 255)
  T.eq(m.read(p, 0, 16), string.rep("\255", 16))
  m.free(p)
end)

T.case("large reads and writes keep every byte", function()
  local n = 1000003
  local p = m.alloc(n)
  local chunk = {}
  for i = 0, 255 do chunk[#chunk + 1] = string.char(i) end
  local s = string.rep(table.concat(chunk), math.ceil(n / 256)):sub(1, n)
  m.write(p, 0, s)
  T.eq(m.read(p, 0, n) == s, true, "1 MB round trip")
  T.eq(m.read(p, 300, 257), s:sub(301, 557))
  m.free(p)
end)

T.case("every length around the copy paths' switches: the bytes written, and none around them", function()
  -- Copies of less than 64 bytes go in pieces of 32, 16, 8, 4, 2 and 1
  -- bytes, longer ones through memcpy; reads of up to 256 bytes go through a
  -- buffer of the call (of the state, in memory.fast), longer ones through
  -- the heap; sequence-locked copies go by single bytes up to an 8-byte
  -- boundary, then by words, then by bytes again.  Each length around a
  -- switch, at offsets that move those boundaries.
  local lengths = {}
  for n = 0, 72 do lengths[#lengths + 1] = n end
  for _, n in ipairs({ 127, 128, 129, 255, 256, 257, 263, 264, 1023, 1024, 1025 }) do lengths[#lengths + 1] = n end
  local size = 1056
  local p, q = m.alloc(size), m.shared(size)
  local zeros = string.rep("\0", size)
  for _, off in ipairs({ 0, 1, 3, 7, 8 }) do
    for _, n in ipairs(lengths) do
      local s = {}
      for i = 1, n do s[i] = string.char((i * 37 + off) % 255 + 1) end
      s = table.concat(s)
      local want = zeros:sub(1, 8 + off) .. s .. zeros:sub(1, size - 8 - off - n)
      local what = ("length %d at offset %d"):format(n, 8 + off)
      m.fill(p, 0, size, 0)
      m.write(p, 8 + off, s)
      T.eq(m.read(p, 8 + off, n), s, what)
      T.eq(m.read(p, 0, size), want, what .. ", whole block")
      m.fill(p, 8 + off, n, 0)
      T.eq(m.read(p, 0, size), zeros, what .. ", filled back")
      -- The counter at 0, the payload at 8 + off and its region up to the end.
      m.fill(q, 4, size - 4, 0)
      m.seq_write(q, 0, 8 + off, s, size - 8 - off)
      T.eq(m.seq_read(q, 0, 8 + off, n), s, what .. ", sequence-locked")
      T.eq(m.read(q, 4, size - 4), want:sub(5), what .. ", sequence-locked, whole region")
    end
  end
  m.free(p)
  m.release(q)
end)

T.case("thousands of live blocks with frees in between: each found, freed and unknown ones not", function()
  -- The address table starts with 512 slots and grows; a freed block leaves
  -- an erased slot that lookups of other addresses must probe past, and
  -- erased slots must not fill the table.
  local base = m.count_allocations()
  local live, tag, freed, id = {}, {}, {}, 0
  local function unknown(p) return "memory: unknown or freed pointer (" .. P(p) .. ")" end
  for round = 1, 6 do
    for _ = 1, 500 do
      id = id + 1
      local p = m.alloc(8 + id % 5)
      m.write(p, 0, ("%08d"):format(id))
      live[#live + 1], tag[p], freed[p] = p, ("%08d"):format(id), nil
    end
    for i = #live - round % 3, 1, -3 do  -- every third, from a point that moves
      local p = live[i]
      m.free(p)
      live[i], tag[p], freed[p] = live[#live], nil, true
      live[#live] = nil
    end
    for _, p in ipairs(live) do
      T.eq(m.read(p, 0, 8), tag[p], "round " .. round)
      T.raises(unknown(ffi.cast("char*", p) + 1), m.size, ffi.cast("char*", p) + 1)
    end
    for p in pairs(freed) do T.raises(unknown(p), m.size, p) end
  end
  T.truthy(#live > 512, "live blocks: " .. #live)
  for _, p in ipairs(live) do m.free(p) end
  T.eq(m.count_allocations(), base)
end)

T.case("zero-size blocks: distinct addresses, size 0, only empty accesses", function()
  local base = m.count_allocations()
  local a, b = m.alloc(0), m.alloc(0)
  T.truthy(a ~= b, "distinct addresses")
  T.eq(m.size(a), 0)
  T.eq(m.count_allocations(), base)
  T.eq(m.read(a, 0, 0), "")
  m.write(a, 0, "")
  T.raises("memory: range is out of bounds (offset 0, length 1, size 0)", function() m.read(a, 0, 1) end)
  T.raises("memory: range is out of bounds (offset 1, length 0, size 0)", function() m.read(a, 1, 0) end)
  m.free(a); m.free(b)
end)

T.case("bounds: offset + length must stay inside the block", function()
  local p = m.alloc(10)
  T.eq(#m.read(p, 0, 10), 10)
  T.raises("memory: range is out of bounds (offset 1, length 10, size 10)", function() m.read(p, 1, 10) end)
  T.raises("memory: range is out of bounds (offset 9, length 2, size 10)", function() m.write(p, 9, "xy") end)
  T.raises("memory: range is out of bounds (offset 11, length 0, size 10)", function() m.fill(p, 11, 0, 1) end)
  -- A huge length must not wrap around the bounds check.
  T.raises("memory: range is out of bounds (offset 5, length 4611686018427387904, size 10)",
    function() m.read(p, 5, 2^62) end)
  m.free(p)
end)

T.case("argument errors name their position and come before registry errors", function()
  local p = m.alloc(4)
  T.raises(argerr(1, "alloc", "size must not be negative"), function() m.alloc(-1) end)
  T.raises(argerr(1, "size", "memory pointer expected"), function() m.size(12345) end)
  T.raises(argerr(1, "free", "memory pointer expected"), function() m.free("x") end)
  T.raises(argerr(1, "read", "memory pointer expected"), function() m.read(nil, -1, -1) end)
  T.raises(argerr(2, "read", "offset must not be negative"), function() m.read(p, -1, -1) end)
  T.raises(argerr(3, "read", "length must not be negative"), function() m.read(p, 0, -1) end)
  T.raises(argerr(2, "write", "offset must not be negative"), function() m.write(p, -1, "") end)
  T.raises(argerr(3, "write", "string expected, got no value"), function() m.write(p, 0) end)
  T.raises(argerr(3, "fill", "length must not be negative"), function() m.fill(p, 0, -2, 0) end)
  T.raises(argerr(4, "fill", "byte value must be between 0 and 255"), function() m.fill(p, 0, 1, 256) end)
  T.raises(argerr(4, "fill", "byte value must be between 0 and 255"), function() m.fill(p, 0, 1, -1) end)
  T.raises(argerr(2, "realloc", "size must not be negative"), function() m.realloc(p, -5) end)
  -- Offsets are plain integers: cdata is refused there.
  T.raises(argerr(2, "read", "number expected, got cdata"), function() m.read(p, ffi.new("int64_t", 0), 1) end)
  -- An argument error wins over an unknown address.
  T.raises(argerr(2, "read", "offset must not be negative"), function() m.read(ffi.cast("void*", 8), -1, 0) end)
  m.free(p)
end)

T.case("NaN, infinities and numbers past 2^63: refused, or taken as the largest value", function()
  local p = m.alloc(8)
  local nan, inf, big = 0 / 0, math.huge, 2 ^ 70
  local top = "9223372036854775807"  -- offsets and lengths past 2^63 read as this
  local function oob(offset, length) return ("memory: range is out of bounds (offset %s, length %s, size 8)"):format(offset, length) end
  for _, c in ipairs({
    { argerr(1, "alloc", "size must be a finite integer"), function() m.alloc(nan) end },
    { argerr(1, "alloc", "size must not be negative"), function() m.alloc(-inf) end },
    { "memory: allocation of 18446744073709551615 bytes failed", function() m.alloc(inf) end },
    { "memory: allocation of 18446744073709551615 bytes failed", function() m.shared(big) end },
    { "memory: allocation of 9223372036854775808 bytes failed", function() m.alloc(2 ^ 63) end },
    { "memory: realloc of 18446744073709551615 bytes failed", function() m.realloc(p, big) end },
    { argerr(2, "read", "offset must be a finite integer"), function() m.read(p, nan, 1) end },
    { argerr(3, "read", "length must not be negative"), function() m.read(p, 0, -inf) end },
    { oob(0, top), function() m.read(p, 0, big) end },
    { oob(top, 1), function() m.write(p, inf, "x") end },
    { oob(top, 0), function() m.fill(p, big, 0, 1) end },
    { argerr(4, "fill", "byte value must be between 0 and 255"), function() m.fill(p, 0, 1, nan) end },
    { oob(top, 4), function() m.get_i32(p, big) end },
    { oob(top, 4), function() m.atomic_add_i32(p, inf, 1) end },
    { argerr(3, "set_i32", "value must be a finite integer"), function() m.set_i32(p, 0, inf) end },
    { argerr(3, "atomic_add_i32", "delta must be a finite integer"), function() m.atomic_add_i32(p, 0, nan) end },
    { argerr(4, "cas_i32", "new value must be a finite integer"), function() m.cas_i32(p, 0, 0, -inf) end },
    { argerr(5, "seq_read", "attempts must be a finite integer"), function() m.seq_read(p, 0, 4, 4, nan) end },
    { argerr(5, "seq_read", "attempts must be at least 1"), function() m.seq_read(p, 0, 4, 4, -inf) end },
    -- Exactly 2^63 is past the largest value too; sums of two such never wrap.
    { oob(top, 0), function() m.read(p, 2 ^ 63, 0) end },
    { oob(0, top), function() m.read(p, 0, 2 ^ 63) end },
    { oob(0, "9223372036854775808"), function() m.seq_write(p, 0, 2 ^ 63, "x") end },
    { oob(0, "9223372036854775811"), function() m.seq_write(p, 0, 4, "x", 2 ^ 63) end },
    { oob(0, "18446744073709551614"), function() m.seq_write(p, 0, 2 ^ 63, "x", 2 ^ 63) end },
    { oob(0, "18446744073709551614"), function() m.seq_read(p, 0, 2 ^ 63, 2 ^ 63) end },
  }) do
    T.raises(c[1], c[2])
  end
  -- Whole numbers past 2^63 keep their low 32 bits, as smaller ones do.
  m.set_i32(p, 0, 2 ^ 63 + 2 ^ 12)
  T.eq(m.get_i32(p, 0), 4096)
  m.atomic_set_i32(p, 0, -(2 ^ 64) - 2 ^ 13)
  T.eq(m.get_i32(p, 0), -8192)
  m.atomic_set_i32(p, 0, 0)  -- even: a read goes through
  T.eq(#m.seq_read(p, 0, 4, 4, inf), 4)  -- as many attempts as it takes
  T.eq(#m.seq_read(p, 0, 4, 4, 2 ^ 63), 4)
  m.free(p)
end)

T.case("cdata addresses and sizes", function()
  local p = m.alloc(8)
  local addr = ffi.cast("uintptr_t", p)
  m.write(ffi.cast("void*", p), 0, "cdata-pt")
  T.eq(m.read(ffi.cast("uint64_t", addr), 0, 8), "cdata-pt")
  T.eq(m.read(ffi.new("int64_t", ffi.cast("int64_t", addr)), 0, 5), "cdata")
  T.eq(m.size(addr), 8)
  local q = m.alloc(ffi.new("uint64_t", 3))
  T.eq(m.size(q), 3)
  T.raises("memory: allocation of 18446744073709551615 bytes failed",
    function() m.alloc(ffi.new("int64_t", -1)) end)
  T.raises("memory: realloc of 18446744073709551615 bytes failed",
    function() m.realloc(q, ffi.new("int64_t", -1)) end)
  T.eq(m.size(q), 3, "a failed realloc leaves the block")
  m.free(p); m.free(q)
end)

T.case("free and unknown addresses", function()
  local p = m.alloc(4)
  m.free(p)
  T.raises("memory: cannot free an unknown or freed pointer (" .. P(p) .. ")", function() m.free(p) end)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", function() m.size(p) end)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", function() m.read(p, 0, 0) end)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", function() m.write(p, 0, "") end)
  T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", function() m.fill(p, 0, 0, 0) end)
  T.raises("memory: cannot realloc an unknown or freed pointer (" .. P(p) .. ")", function() m.realloc(p, 1) end)
  local never = ffi.cast("void*", 0x10)
  T.raises("memory: unknown or freed pointer (" .. P(never) .. ")", function() m.size(never) end)
  local null = ffi.cast("void*", 0)
  T.raises("memory: unknown or freed pointer (" .. P(null) .. ")", function() m.size(null) end)
end)

T.case("realloc keeps bytes, moves the record and refuses unknown addresses", function()
  local base = m.count_allocations()
  local p = m.alloc(8)
  m.write(p, 0, "abcdefgh")
  local q = m.realloc(p, 1048576)
  T.eq(m.size(q), 1048576)
  T.eq(m.read(q, 0, 8), "abcdefgh")
  T.eq(m.count_allocations(), base + (1048576))
  if q ~= p then
    T.raises("memory: unknown or freed pointer (" .. P(p) .. ")", function() m.size(p) end)
  end
  local r = m.realloc(q, 0)
  T.eq(m.size(r), 0)
  T.eq(m.count_allocations(), base)
  m.free(r)
end)

T.case("count_allocations follows alloc, realloc and free", function()
  local base = m.count_allocations()
  local a, b = m.alloc(100), m.alloc(28)
  T.eq(m.count_allocations(), base + 128)
  b = m.realloc(b, 1000)
  T.eq(m.count_allocations(), base + 1100)
  m.free(a)
  T.eq(m.count_allocations(), base + 1000)
  m.free(b)
  T.eq(m.count_allocations(), base)
end)

T.case("the protected pusher in the registry serves only the push in progress", function()
  -- Every module makes one; a script that digs it out of the registry may
  -- hand it any address, and must get an error, not a read or a call there.
  local block = m.alloc(1024)
  m.write(block, 0, string.rep("\255", 1024))
  local found = 0
  for k, v in pairs(debug.getregistry()) do
    if type(k) == "userdata" and type(v) == "function" then
      found = found + 1
      for _, arg in ipairs({ block, k }) do
        local ok, err = pcall(v, arg)
        T.eq(ok, false)
        T.truthy(tostring(err):find("no push in progress", 1, true), tostring(err))
      end
    end
  end
  T.truthy(found >= 1, "a pusher is in the registry")
  T.eq(m.read(block, 0, 1024), string.rep("\255", 1024), "a long read still pushes")
  m.free(block)
end)

T.finish()
