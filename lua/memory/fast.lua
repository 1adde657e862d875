-- memory.fast: the functions of `memory` through LuaJIT's FFI, so that a
-- loop of them compiles into one trace.
--
-- It opens the same Quandel file as `memory` (found on package.cpath), so
-- both tables work on one block registry, and calls Quandel's C interface:
-- each call holds the block exactly as memory's own functions do (the state's
-- hazard context, the bounds check, the live check), and returns a status
-- instead of raising.  Arguments are checked here as memory checks them, in
-- the same order and with the same messages; a failed status becomes the
-- message memory raises, written by the library itself.
--
-- Each hot function has a fast path for the usual arguments (an address,
-- offsets that are plain numbers below 2^52) that does nothing a trace
-- cannot hold: no pcall, no varargs, no table, results through buffers made
-- once per state.  Anything else (strings for numbers, saturation, NaN, a
-- failure) takes the slow path, which checks everything in memory's order.
local ok, ffi = pcall(require, "ffi")
if not ok then
  error("memory.fast needs LuaJIT's FFI, which this Lua does not have; use memory instead", 2)
end

local quandel_path = package.searchpath("Quandel", package.cpath)
if not quandel_path then
  error("memory.fast: the Quandel library is not on package.cpath", 2)
end
-- Registers the host clean-up hook as memory does, and provides the
-- functions that are not hot (alloc, free, shared, ...).
local classic = assert(package.loadlib(quandel_path, "luaopen_memory"))()

-- Declared once per state (a second load of this file finds them).
if not pcall(ffi.typeof, "quandel_outcome") then
  ffi.cdef [[
typedef struct quandel_context quandel_context;
typedef struct quandel_outcome {
  uint64_t size, offset, length;
  int32_t i32;
  double f64;
} quandel_outcome;
quandel_context *quandel_context_open(void);
void quandel_context_close(quandel_context *ctx);
int quandel_size(quandel_context *const *state, const void *p, quandel_outcome *out);
int quandel_read(quandel_context *const *state, const void *p, uint64_t offset, uint64_t length, void *to, quandel_outcome *out);
int quandel_write(quandel_context *const *state, const void *p, uint64_t offset, const void *data, uint64_t length, quandel_outcome *out);
int quandel_fill(quandel_context *const *state, const void *p, uint64_t offset, uint64_t length, int value, quandel_outcome *out);
int quandel_get_i32(quandel_context *const *state, const void *p, uint64_t offset, quandel_outcome *out);
int quandel_set_i32(quandel_context *const *state, const void *p, uint64_t offset, int64_t value, quandel_outcome *out);
int quandel_get_f64(quandel_context *const *state, const void *p, uint64_t offset, quandel_outcome *out);
int quandel_set_f64(quandel_context *const *state, const void *p, uint64_t offset, double value, quandel_outcome *out);
int quandel_atomic_i32(quandel_context *const *state, const void *p, uint64_t offset, quandel_outcome *out);
int quandel_atomic_set_i32(quandel_context *const *state, const void *p, uint64_t offset, int64_t value, quandel_outcome *out);
int quandel_atomic_add_i32(quandel_context *const *state, const void *p, uint64_t offset, int64_t delta, quandel_outcome *out);
int quandel_cas_i32(quandel_context *const *state, const void *p, uint64_t offset, int64_t expected, int64_t desired, quandel_outcome *out);
int quandel_seq_write(quandel_context *const *state, const void *p, uint64_t counter, uint64_t payload, const void *data, uint64_t length, uint64_t region, quandel_outcome *out);
int quandel_seq_read(quandel_context *const *state, const void *p, uint64_t counter, uint64_t payload, uint64_t length, uint64_t attempts, void *to, quandel_outcome *out);
size_t quandel_message(int status, const void *p, const quandel_outcome *out, char *buf, size_t n);
]]
end
-- The C runtime's, for large reads; another module may have declared them.
pcall(ffi.cdef, "void *malloc(size_t n); void free(void *p);")

local C = ffi.load(quandel_path)
-- Resolved now: a trace that meets a symbol of the library for the first
-- time aborts ("symbol not in cache").
for _, name in ipairs({ "context_open", "context_close", "size", "read", "write", "fill",
                        "get_i32", "set_i32", "get_f64", "set_f64", "atomic_i32",
                        "atomic_set_i32", "atomic_add_i32", "cas_i32", "seq_write", "seq_read",
                        "message" }) do
  local _ = C["quandel_" .. name]
end
local libc = ffi.C
local cast, fstring = ffi.cast, ffi.string
local type, tonumber, tostring, error = type, tonumber, tostring, error
local floor, ceil, fmod = math.floor, math.ceil, math.fmod
local getinfo = debug.getinfo

local voidp = ffi.typeof("const void *")
local u64 = ffi.typeof("uint64_t")

-- This state's hazard context: memory's own userdata for it, whose contents
-- (the context pointer) the FFI passes by address.  Its finalizer gives the
-- context back when the state closes, before the library can be closed; a
-- finalizer that runs after it finds null and its access borrows a context
-- from the pool, as memory's do.  Every hot function holds it as an upvalue.
local state = assert(package.loadlib(quandel_path, "quandel_state_context"))()
-- The argument messages and status numbers, as the library defines them.
local K = assert(package.loadlib(quandel_path, "quandel_texts"))()

local out = ffi.new("quandel_outcome")
local BUF = 256  -- reads up to this many bytes go through this state's buffer
local buf = ffi.new("uint8_t[?]", BUF)
local msgbuf = ffi.new("char[256]")

local OK, BUSY = K.ok, K.busy
local TWO52, TWO63, TWO32 = 2 ^ 52, 2 ^ 63, 2 ^ 32
local SATURATED = u64(0x7fffffffffffffffULL)  -- offsets and lengths of 2^63 or more

-- Errors -------------------------------------------------------------------
-- `level` is the level of the module function that fails, counted from the
-- function that raises; positions and names come from its caller, as
-- memory's do (luaL_error and luaL_argerror).

local function fail(level, status, p)
  C.quandel_message(status, p, out, msgbuf, 256)
  error(fstring(msgbuf), level + 1)
end

local function argerror(level, n, message)
  local info = getinfo(level, "n")
  local name = info and info.name or "?"
  if info and info.namewhat == "method" then
    n = n - 1
    if n == 0 then
      error(("calling '%s' on bad self (%s)"):format(name, message), level + 1)
    end
  end
  error(("bad argument #%d to '%s' (%s)"):format(n, name, message), level + 1)
end

-- The type name in "number expected, got ...".  A nil followed only by nils
-- is taken as absent ("no value"): without varargs a function cannot tell an
-- explicit trailing nil from a missing argument.
local function got(v, rest_nil)
  if v == nil and rest_nil then return "no value" end
  return type(v)
end

-- Slow-path argument readers: the checks of memory's, in its order.  They
-- return Lua numbers below 2^63, or SATURATED.

local address  -- below

local function pointer(level, v, n)
  local a = address(v)
  if not a then argerror(level + 1, n, K.block_pointer_expected) end
  return a
end

local function number(level, v, n, rest_nil)
  local t = type(v)
  if t == "number" then return v end
  if t == "string" then
    local x = tonumber(v)
    if x then return x end
  end
  argerror(level + 1, n, "number expected, got " .. got(v, rest_nil))
end

local function nonnegative(level, v, n, what, rest_nil)
  v = number(level + 1, v, n, rest_nil)
  if v ~= v then argerror(level + 1, n, K.not_finite:format(what)) end
  if v < 0 then argerror(level + 1, n, K.negative:format(what)) end
  if v >= TWO63 then return SATURATED end
  return floor(v)
end

local function atomic_offset(level, v, rest_nil)
  local o = nonnegative(level + 1, v, 2, "offset", rest_nil)
  if o ~= SATURATED and o % 4 ~= 0 then
    argerror(level + 1, 2, K.atomic_alignment)
  end
  return o
end

-- A finite number as what a 32-bit store keeps: any value whose low 32 bits
-- are those of the number taken modulo 2^64.
local function wrapping(level, v, n, what, rest_nil)
  v = number(level + 1, v, n, rest_nil)
  if v ~= v or v == 1 / 0 or v == -1 / 0 then
    argerror(level + 1, n, K.not_finite:format(what))
  end
  if v > -TWO63 and v < TWO63 then return v end
  -- |v| >= 2^63 is a whole multiple of 2^11: fmod is exact.
  local r = fmod(v, TWO32)
  if r < 0 then r = r + TWO32 end
  return r
end

local function str(level, v, n, rest_nil)
  local t = type(v)
  if t == "string" then return v end
  if t == "number" then return tostring(v) end
  argerror(level + 1, n, "string expected, got " .. got(v, rest_nil))
end

-- (No tail calls among these: a tail call would take a level off the stack
-- that `level` counts.)
local function length(level, v, n, rest_nil)
  return (nonnegative(level + 1, v, n, "length", rest_nil))
end

local function offset(level, v, n, rest_nil)
  return (nonnegative(level + 1, v, n, "offset", rest_nil))
end

-- The usual address as a pointer cdata.  This LuaJIT cannot compile the
-- conversion of a light userdata (what alloc returns) to a C pointer, so
-- each one is converted once, outside the trace, and remembered: a lookup
-- with the light userdata as key compiles.  Remembering is always right (an
-- address stands for the same pointer for ever; the library checks it on
-- every call), and the table is emptied when it grows large.  cdata (a
-- pointer or a 64-bit integer) is cast.  Anything else: false, for the
-- slow path (a null pointer cdata equals nil).
local pointers, remembered = {}, 0
local MEMO_LIMIT = 4096

local function remember(p)
  if remembered >= MEMO_LIMIT then
    pointers, remembered = {}, 0
  end
  local a = cast(voidp, p)
  pointers[p] = a
  remembered = remembered + 1
  return a
end

function address(p)
  local t = type(p)
  if t == "userdata" then
    local a = pointers[p]
    if not a then a = remember(p) end
    return a
  end
  if t == "cdata" then return cast(voidp, p) end
  return false
end

-- An offset or length for the fast path.
local function plain(v)
  return type(v) == "number" and v >= 0 and v < TWO52
end

-- Large reads: a heap buffer for this call, freed on every path (the
-- finalizer, should making the string fail).
local function read_heap(status_of, n)
  local heap = libc.malloc(n)
  if heap ~= nil then heap = ffi.gc(heap, libc.free) end
  local st = status_of(heap ~= nil and heap or nil)
  if st ~= OK then
    if heap ~= nil then libc.free(ffi.gc(heap, nil)) end
    return st
  end
  local s = fstring(heap, n)
  libc.free(ffi.gc(heap, nil))
  return st, s
end

local M = {}
for k, v in pairs(classic) do M[k] = v end

-- size, read, write, fill --------------------------------------------------

function M.size(p)
  local a = address(p)
  if not a then a = pointer(2, p, 1) end
  local st = C.quandel_size(state, a, out)
  if st ~= OK then fail(2, st, a) end
  return tonumber(out.size)
end

local function read_slow(p, o, n)
  local a = pointer(3, p, 1)
  o = offset(3, o, 2, n == nil)
  n = length(3, n, 3, true)
  if n ~= SATURATED and n <= BUF then
    local st = C.quandel_read(state, a, o, n, buf, out)
    if st ~= OK then fail(3, st, a) end
    return fstring(buf, n)
  end
  local st, s = read_heap(function(to)
    return C.quandel_read(state, a, o, n, to, out)
  end, n)
  if st ~= OK then fail(3, st, a) end
  return s
end

function M.read(p, o, n)
  local a = address(p)
  if a and plain(o) and type(n) == "number" and n >= 0 and n <= BUF then
    local st = C.quandel_read(state, a, o, n, buf, out)
    if st == OK then return fstring(buf, n) end
    fail(2, st, a)
  end
  return (read_slow(p, o, n))
end

local function write_slow(p, o, s)
  local a = pointer(3, p, 1)
  o = offset(3, o, 2, s == nil)
  s = str(3, s, 3, true)
  local st = C.quandel_write(state, a, o, s, #s, out)
  if st ~= OK then fail(3, st, a) end
end

function M.write(p, o, s)
  local a = address(p)
  if a and plain(o) and type(s) == "string" then
    local st = C.quandel_write(state, a, o, s, #s, out)
    if st == OK then return end
    fail(2, st, a)
  end
  write_slow(p, o, s)
end

function M.fill(p, o, n, v)
  local a = pointer(2, p, 1)
  o = offset(2, o, 2, n == nil and v == nil)
  n = length(2, n, 3, v == nil)
  v = number(2, v, 4, true)
  if not (v >= 0 and v < 256) then argerror(2, 4, K.byte_value) end
  local st = C.quandel_fill(state, a, o, n, floor(v), out)
  if st ~= OK then fail(2, st, a) end
end

-- Typed access -------------------------------------------------------------

local function get_slow(name, p, o)
  local a = pointer(3, p, 1)
  o = offset(3, o, 2, true)
  local st = C[name](state, a, o, out)
  if st ~= OK then fail(3, st, a) end
end

function M.get_i32(p, o)
  local a = address(p)
  if a and plain(o) then
    local st = C.quandel_get_i32(state, a, o, out)
    if st == OK then return out.i32 end
    fail(2, st, a)
  end
  get_slow("quandel_get_i32", p, o)
  return out.i32
end

function M.get_f64(p, o)
  local a = address(p)
  if a and plain(o) then
    local st = C.quandel_get_f64(state, a, o, out)
    if st == OK then return out.f64 end
    fail(2, st, a)
  end
  get_slow("quandel_get_f64", p, o)
  return out.f64
end

local function set_i32_slow(p, o, v)
  local a = pointer(3, p, 1)
  o = offset(3, o, 2, v == nil)
  v = wrapping(3, v, 3, "value", true)
  local st = C.quandel_set_i32(state, a, o, v, out)
  if st ~= OK then fail(3, st, a) end
end

function M.set_i32(p, o, v)
  local a = address(p)
  if a and plain(o) and type(v) == "number" and v > -TWO63 and v < TWO63 then
    local st = C.quandel_set_i32(state, a, o, v, out)
    if st == OK then return end
    fail(2, st, a)
  end
  set_i32_slow(p, o, v)
end

local function set_f64_slow(p, o, v)
  local a = pointer(3, p, 1)
  o = offset(3, o, 2, v == nil)
  v = number(3, v, 3, true)
  local st = C.quandel_set_f64(state, a, o, v, out)
  if st ~= OK then fail(3, st, a) end
end

function M.set_f64(p, o, v)
  local a = address(p)
  if a and plain(o) and type(v) == "number" then
    local st = C.quandel_set_f64(state, a, o, v, out)
    if st == OK then return end
    fail(2, st, a)
  end
  set_f64_slow(p, o, v)
end

-- Atomics ------------------------------------------------------------------

local function aligned(o)
  return type(o) == "number" and o >= 0 and o < TWO52 and o % 4 == 0
end

function M.atomic_i32(p, o)
  local a = address(p)
  if a and aligned(o) then
    local st = C.quandel_atomic_i32(state, a, o, out)
    if st == OK then return out.i32 end
    fail(2, st, a)
  end
  a = pointer(2, p, 1)
  o = atomic_offset(2, o, true)
  local st = C.quandel_atomic_i32(state, a, o, out)
  if st ~= OK then fail(2, st, a) end
  return out.i32
end

local function atomic_set_slow(p, o, v)
  local a = pointer(3, p, 1)
  o = atomic_offset(3, o, v == nil)
  v = wrapping(3, v, 3, "value", true)
  local st = C.quandel_atomic_set_i32(state, a, o, v, out)
  if st ~= OK then fail(3, st, a) end
end

function M.atomic_set_i32(p, o, v)
  local a = address(p)
  if a and aligned(o) and type(v) == "number" and v > -TWO63 and v < TWO63 then
    local st = C.quandel_atomic_set_i32(state, a, o, v, out)
    if st == OK then return end
    fail(2, st, a)
  end
  atomic_set_slow(p, o, v)
end

local function atomic_add_slow(p, o, d)
  local a = pointer(3, p, 1)
  o = atomic_offset(3, o, d == nil)
  d = wrapping(3, d, 3, "delta", true)
  local st = C.quandel_atomic_add_i32(state, a, o, d, out)
  if st ~= OK then fail(3, st, a) end
end

function M.atomic_add_i32(p, o, d)
  local a = address(p)
  if a and aligned(o) and type(d) == "number" and d > -TWO63 and d < TWO63 then
    local st = C.quandel_atomic_add_i32(state, a, o, d, out)
    if st == OK then return out.i32 end
    fail(2, st, a)
  end
  atomic_add_slow(p, o, d)
  return out.i32
end

local function cas_slow(p, o, e, d)
  local a = pointer(3, p, 1)
  o = atomic_offset(3, o, e == nil and d == nil)
  e = wrapping(3, e, 3, "expected value", d == nil)
  d = wrapping(3, d, 4, "new value", true)
  local st = C.quandel_cas_i32(state, a, o, e, d, out)
  if st ~= OK then fail(3, st, a) end
end

function M.cas_i32(p, o, e, d)
  local a = address(p)
  if a and aligned(o) and type(e) == "number" and e > -TWO63 and e < TWO63
      and type(d) == "number" and d > -TWO63 and d < TWO63 then
    local st = C.quandel_cas_i32(state, a, o, e, d, out)
    if st == OK then return out.i32 ~= 0 end
    fail(2, st, a)
  end
  cas_slow(p, o, e, d)
  return out.i32 ~= 0
end

-- Sequence-locked regions --------------------------------------------------

-- payload < counter + 4, exactly, on the slow path's values.
local function payload_before_counter_end(payload, counter)
  return u64(payload) < u64(counter) + 4
end

local function seq_write_slow(p, c, o, s, region)
  local a = pointer(3, p, 1)
  c = atomic_offset(3, c, o == nil and s == nil and region == nil)
  o = offset(3, o, 3, s == nil and region == nil)
  s = str(3, s, 4, region == nil)
  local r = #s
  if region ~= nil then r = length(3, region, 5, true) end
  if r ~= SATURATED and #s > r then argerror(3, 4, K.payload_too_long) end
  if payload_before_counter_end(o, c) then
    argerror(3, 3, K.payload_before_counter)
  end
  return C.quandel_seq_write(state, a, c, o, s, #s, r, out), a
end

function M.seq_write(p, c, o, s, region)
  local a = address(p)
  local st
  if a and aligned(c) and plain(o) and type(s) == "string" and o >= c + 4
      and (region == nil or (plain(region) and region >= #s)) then
    st = C.quandel_seq_write(state, a, c, o, s, #s, region or #s, out)
  else
    st, a = seq_write_slow(p, c, o, s, region)
  end
  if st == OK then return true end
  if st == BUSY then return nil, "busy" end
  fail(2, st, a)
end

local function seq_read_slow(p, c, o, n, attempts)
  local a = pointer(3, p, 1)
  c = atomic_offset(3, c, o == nil and n == nil and attempts == nil)
  o = offset(3, o, 3, n == nil and attempts == nil)
  n = length(3, n, 4, attempts == nil)
  local tries = 8
  if attempts ~= nil then
    tries = number(3, attempts, 5, true)
    if tries ~= tries then argerror(3, 5, K.not_finite:format("attempts")) end
    if tries >= TWO63 then tries = SATURATED
    elseif tries >= 0 then tries = floor(tries)
    else tries = ceil(tries) end
    if tries ~= SATURATED and tries < 1 then argerror(3, 5, K.attempts) end
  end
  if payload_before_counter_end(o, c) then
    argerror(3, 3, K.payload_before_counter)
  end
  if n ~= SATURATED and n <= BUF then
    local st = C.quandel_seq_read(state, a, c, o, n, tries, buf, out)
    if st == OK then return st, a, fstring(buf, n) end
    return st, a
  end
  local st, s = read_heap(function(to)
    return C.quandel_seq_read(state, a, c, o, n, tries, to, out)
  end, n)
  return st, a, s
end

function M.seq_read(p, c, o, n, attempts)
  local a = address(p)
  local st, s
  if a and aligned(c) and plain(o) and o >= c + 4 and type(n) == "number"
      and n >= 0 and n <= BUF
      and (attempts == nil or (type(attempts) == "number" and attempts >= 1 and attempts < TWO52)) then
    st = C.quandel_seq_read(state, a, c, o, n, attempts or 8, buf, out)
    if st == OK then return fstring(buf, n) end
  else
    st, a, s = seq_read_slow(p, c, o, n, attempts)
    if st == OK then return s end
  end
  if st == BUSY then return nil, "busy" end
  fail(2, st, a)
end

return M
