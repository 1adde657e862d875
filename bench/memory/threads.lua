-- memory, two states on two threads at once: the aggregate rate against one
-- state alone, each state making a fixed number of calls, on a block of its
-- own (they should scale) and on one block both read (reads should not slow
-- each other).
--   LUAMODS_BIN=build/native/bin [LUAMODS_BASELINE_BIN=old/bin] luamods_host bench/memory/threads.lua [runs [rounds]]
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. package.path
local B = require("benchlib").setup()

local N = tonumber(arg and arg[1]) or 100000
local ROUNDS = tonumber(arg and arg[2]) or 21

-- A state's work: `body` N times on the block `shared`, or on one of its own.
local STATE = [[
local path, body, n, shared = ...
local B = require("benchlib")
local m = assert(package.loadlib(path, "luaopen_memory"))()
local own = m.alloc(64)
m.set_i32(own, 0, 0)
local loop = B.loop(body, { p = shared or own, s = string.rep("y", 16), empty = host.empty, get_i32 = m.get_i32,
                            write = m.write, read = m.read, atomic_add_i32 = m.atomic_add_i32,
                            alloc = m.alloc, free = m.free })
loop(n / 10)
return function() loop(n); m.free(own) end
]]

-- Two states' rate over one state's, the best of ROUNDS each, in turns; `per`
-- calls per run of the body.
local function scaling(lib, body, same, per)
  local shared = same and lib.m.alloc(64) or nil
  if shared then lib.m.set_i32(shared, 4, 7) end
  local r1, r2 = 0, 0
  for _ = 1, ROUNDS do
    r1 = math.max(r1, B.rate(1, N * per, STATE, lib.path, body, N, shared))
    r2 = math.max(r2, B.rate(2, N * per, STATE, lib.path, body, N, shared))
  end
  if shared then lib.m.free(shared) end
  return r1, r2
end

B.title(string.format("memory: 2 states on 2 threads against 1, %d runs each, best of %d", N, ROUNDS))
local head = { "case", "1 state M calls/s", "2 states M calls/s", "ratio", "goal" }
if B.old then head[#head + 1] = "old ratio" end
B.header(unpack(head))
-- The first row is the machine's own scaling: empty calls share nothing, so
-- a ratio well below 2 there means that other work holds a core, and the
-- rows below cannot show more than it does.
local empty_ratio
for _, c in ipairs({
  { "empty call (the machine itself)", "empty(p, 4)", false, nil, 1 },
  { "get_i32, different blocks", "get_i32(p, 4)", false, 1.8, 1 },
  { "write 16 B + read 16 B, different blocks", "write(p, 0, s); read(p, 0, 16)", false, 1.8, 2 },
  { "atomic_add_i32, different blocks", "atomic_add_i32(p, 0, 1)", false, 1.8, 1 },
  { "get_i32, the same block", "get_i32(p, 4)", true, 1.0, 1 },
  -- Each state allocates and frees blocks of its own: as well as empty calls.
  { "alloc 64 B + free, own blocks", "free(alloc(64))", false, "empty", 2 },
}) do
  local r1, r2 = scaling(B.new, c[2], c[3], c[5])
  -- "empty": at least the machine's own ratio, the first row's.
  if c[4] == "empty" then c[4] = empty_ratio end
  empty_ratio = empty_ratio or r2 / r1
  local cells = { c[1], string.format("%.2f", r1 / 1e6), string.format("%.2f", r2 / 1e6),
                  string.format("%.2f×", r2 / r1), B.goal(">=", c[4], r2 / r1) }
  if B.old then
    local o1, o2 = scaling(B.old, c[2], c[3], c[5])
    cells[#cells + 1] = string.format("%.2f×", o2 / o1)
  end
  B.row(unpack(cells))
end
