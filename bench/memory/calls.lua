-- memory, one state: every call against the empty C function taking the same
-- arguments (a pair against two empty calls).
--   LUAMODS_BIN=build/native/bin [LUAMODS_BASELINE_BIN=old/bin] luamods_host bench/memory/calls.lua [calls]
local here = (arg and arg[0] or ""):match("^(.*)[/\\]") or "."
package.path = here .. "/../?.lua;" .. package.path
local B = require("benchlib").setup()

-- Many short rounds: the best of them is the least disturbed by other work.
local N = tonumber(arg and arg[1]) or 10000
local ROUNDS = 201
local s16 = string.rep("x", 16)

-- A 64-byte block with the functions a case calls.
local function block(...)
  local names = { ... }
  return function(lib)
    local v = { p = lib.m.alloc(64), s = s16 }
    for _, f in ipairs(names) do v[f] = lib.m[f] end
    lib.m.set_i32(v.p, 0, 0)
    return v
  end
end

-- A sequence counter at 0 and a 64-byte record at 4, published once.
local function record(lib)
  local p = lib.m.shared(4 + 64)
  lib.m.seq_write(p, 0, 4, string.rep("r", 64))
  return { seq_read = lib.m.seq_read, p = p }
end

B.per_call("memory: calls against the empty call", {
  { "write 16 B", "write(p, 0, s)", block("write"), 2.5 },
  { "size", "size(p)", block("size"), 2.5 },
  { "get_i32", "get_i32(p, 4)", block("get_i32"), 2.5 },
  { "read 16 B", "read(p, 0, 16)", block("read"), 3.0 },
  { "atomic_add_i32", "atomic_add_i32(p, 0, 1)", block("atomic_add_i32"), 3.0 },
  { "seq_read 48 B", "seq_read(p, 0, 4, 48)", record, 3.5 },
  { "seq_read 64 B", "seq_read(p, 0, 4, 64)", record, 3.5 },
  { "alloc 64 B + free", "local b = alloc(64); free(b)", block("alloc", "free") },
}, N, ROUNDS)
