-- (Not named fast.lua: bench/ is on the benchmarks' LUA_PATH, and
-- bench/memory/fast.lua would stand in for require("memory.fast").)
-- memory.fast against an empty classic C call with the same arguments (the
-- cost of merely leaving a trace for a C function), and against memory's
-- own function doing the same work, in the same run.
local B = require("benchlib")
local T = require("testlib")
local classic = T.classic_memory()
local fast = require("memory.fast")
local empty = host.empty

local N = 500000
local ROUNDS = 11

-- Best ns per call of each loop, the loops timed in turn round after round,
-- so that a burst of other work on the machine hits all three alike.
local function interleaved(loops)
  local best = {}
  for i, loop in ipairs(loops) do loop(N / 10); best[i] = math.huge end
  for _ = 1, ROUNDS do
    for i, loop in ipairs(loops) do
      local t0 = B.now()
      loop(N)
      best[i] = math.min(best[i], B.now() - t0)
    end
  end
  for i = 1, #best do best[i] = best[i] * 1e9 / N end
  return unpack(best)
end
local p = fast.shared(4 + 64 + 16)  -- sequence counter, a 64-byte record, 16 more bytes
fast.seq_write(p, 0, 4, string.rep("r", 64))
local s16 = string.rep("x", 16)

print(string.format("\n### memory.fast: FFI calls against the empty classic call (%s)\n", B.target))
B.header("call", "fast ns/call", "empty call ns", "ratio", "goal", "memory ns/call", "speed-up", "goal")
for _, c in ipairs({
  { "size(p)", "size", 1.0, p },
  { "get_i32(p, 68)", "get_i32", 1.0, p, 68 },
  { "set_i32(p, 68, 7)", "set_i32", 1.0, p, 68, 7 },
  { "write(p, 68, 16 bytes)", "write", 1.5, p, 68, s16 },
  { "read(p, 68, 16)", "read", 1.5, p, 68, 16 },
  { "atomic_add_i32(p, 68, 1)", "atomic_add_i32", 1.5, p, 68, 1 },
  { "seq_read(p, 0, 4, 64)", "seq_read", 2.5, p, 0, 4, 64 },
}) do
  local f, e, m = interleaved({ B.loop(fast[c[2]], unpack(c, 4)), B.loop(empty, unpack(c, 4)),
                                B.loop(classic[c[2]], unpack(c, 4)) })
  local goal, speedup = c[3], m / f
  B.row(c[1], string.format("%.1f", f), string.format("%.1f", e), string.format("%.2f×", f / e),
        string.format("%s %.1f×", f / e <= goal and "≤" or "MISSED", goal),
        string.format("%.1f", m), string.format("%.1f×", speedup),
        string.format("%s 3×", speedup >= 3 and "≥" or "MISSED"))
end
fast.release(p)
