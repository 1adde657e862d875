-- memory.fast, one state: each hot function through LuaJIT's FFI against the
-- empty classic C call taking the same arguments (the cost of merely leaving
-- a trace for a C function), and against memory's own function doing the
-- same work, timed in turns in the same run.
--   LUAMODS_BIN=build/native/bin LUA_CPATH='build/native/bin/?.so' luamods_host bench/memory/ffi_calls.lua [calls]
-- (Not named fast.lua: bench/ is on the benchmarks' LUA_PATH, and
-- bench/memory/fast.lua would stand in for require("memory.fast").)
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. here .. "/../../lua/?.lua;" .. package.path
local B = require("benchlib").setup()
local classic = B.new.m
local fast = require("memory.fast")

-- Many short rounds: the best of them is the least disturbed by other work.
local N = tonumber(arg and arg[1]) or 10000
local ROUNDS = 201

local p = fast.shared(4 + 64 + 16)  -- sequence counter, a 64-byte record, 16 more bytes
fast.seq_write(p, 0, 4, string.rep("r", 64))
local s16 = string.rep("x", 16)

B.title("memory.fast: FFI calls against the empty classic call")
B.header("call", "fast ns/call", "empty call ns", "ratio", "goal", "memory ns/call", "speed-up", "goal")
for _, c in ipairs({
  { "size", "f(p)", 1.0 },
  { "get_i32", "f(p, 68)", 1.0 },
  { "set_i32", "f(p, 68, 7)", 1.0 },
  { "write", "f(p, 68, s)", 1.5, "write 16 B" },
  { "read", "f(p, 68, 16)", 1.5, "read 16 B" },
  { "atomic_add_i32", "f(p, 68, 1)", 1.5 },
  { "seq_read", "f(p, 0, 4, 64)", 2.5, "seq_read 64 B" },
}) do
  local name, body, goal = c[1], c[2], c[3]
  local vars = { f = fast[name], p = p, s = s16 }
  local t = B.compare({ B.loop(body, vars), B.loop(body, B.emptied(vars)),
                        B.loop(body, { f = classic[name], p = p, s = s16 }) }, N, ROUNDS)
  local f, e, m = t[1], t[2], t[3]
  B.row(c[4] or name, ("%.1f"):format(f), ("%.1f"):format(e), ("%.2f×"):format(f / e),
        B.goal("<=", goal, f / e), ("%.1f"):format(m), ("%.1f×"):format(m / f), B.goal(">=", 3, m / f))
end
fast.release(p)
