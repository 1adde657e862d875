-- memory.queue.fast: the item functions of `memory.queue` through LuaJIT's
-- FFI, so that a producer's or a consumer's loop compiles into one trace.
--
-- It opens the same Quandel file as `memory.queue` (found on package.cpath),
-- so both tables work on the same queues, and calls Quandel's C interface,
-- which runs the very code of memory.queue's functions (the state's hazard
-- context, the queue's use, the blocks of push and pop) and returns a code
-- instead of raising.  Arguments are checked here as memory.queue checks
-- them, in the same order and with the same messages; a failure raises the
-- message the library wrote for it.
--
-- One difference the FFI imposes: dequeue and wait_dequeue return the item
-- as a `void *` cdata, not as light userdata (an FFI call cannot make one).
-- Every function of memory and memory.queue takes it as the same address,
-- and it compares equal (==) to the light userdata of that address.
--
-- A wait (wait_dequeue, wait_pop) blocks only the calling thread: LuaJIT
-- holds no lock across an FFI call, and neither does the library.
local ok, ffi = pcall(require, "ffi")
if not ok then
  error("memory.queue.fast needs LuaJIT's FFI, which this Lua does not have; use memory.queue instead", 2)
end

local quandel_path = package.searchpath("Quandel", package.cpath)
if not quandel_path then
  error("memory.queue.fast: the Quandel library is not on package.cpath", 2)
end
-- Registers the host clean-up hook as memory.queue does, and provides the
-- functions that are not hot (new, delete, shared, drain_all, ...).
local classic = assert(package.loadlib(quandel_path, "luaopen_memory_queue"))()

-- Declared once per state (a second load of this file finds them).
if not pcall(ffi.typeof, "quandel_queue_outcome") then
  ffi.cdef [[
typedef struct quandel_context quandel_context;
typedef struct quandel_queue_outcome {
  void *item;
  uint64_t size;
  uint8_t *heap;
  int64_t count;
  char message[224];
} quandel_queue_outcome;
int quandel_queue_enqueue(quandel_context *const *state, const void *q, const void *item, quandel_queue_outcome *out);
int quandel_queue_take(quandel_context *const *state, const void *q, double wait_ms, quandel_queue_outcome *out);
int quandel_queue_len(quandel_context *const *state, const void *q, quandel_queue_outcome *out);
int quandel_queue_push(quandel_context *const *state, const void *q, const char *data, size_t len, quandel_queue_outcome *out);
int quandel_queue_pop(quandel_context *const *state, const void *q, double wait_ms, uint8_t *buf, size_t cap, quandel_queue_outcome *out);
void quandel_queue_free_string(uint8_t *heap);
]]
end

local C = ffi.load(quandel_path)
-- Resolved now: a trace that meets a symbol of the library for the first
-- time aborts ("symbol not in cache").
for _, name in ipairs({ "enqueue", "take", "len", "push", "pop", "free_string" }) do
  local _ = C["quandel_queue_" .. name]
end
local cast, fstring = ffi.cast, ffi.string
local type, tostring, tonumber, error = type, tostring, tonumber, error
local getinfo = debug.getinfo

local voidp = ffi.typeof("const void *")

-- This state's hazard context, the one memory.queue's functions use (see
-- memory.fast); every hot function holds it as an upvalue.
local state = assert(package.loadlib(quandel_path, "quandel_state_context"))()
-- The argument messages, as the library defines them.
local K = assert(package.loadlib(quandel_path, "quandel_texts"))()

local out = ffi.new("quandel_queue_outcome")
local BUF = 256  -- popped strings up to this many bytes come through this buffer
local buf = ffi.new("uint8_t[?]", BUF)

local OK, EMPTY, FAILED = 0, 1, 2
local FOREVER = 1 / 0  -- no time limit, as the C interface takes it

-- Errors -------------------------------------------------------------------
-- `level` is the level of the module function that fails, counted from the
-- function that raises; positions and names come from its caller, as
-- memory.queue's do (luaL_error and luaL_argerror).

local function fail(level)
  error(fstring(out.message), level + 1)
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

-- Addresses, as memory.fast reads them: a light userdata is converted once,
-- outside the trace (this LuaJIT cannot compile that conversion), and
-- remembered, so that a lookup with it as key compiles; cdata (a pointer or
-- a 64-bit integer) is cast.  Anything else: false.
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

local function address(p)
  local t = type(p)
  if t == "userdata" then
    local a = pointers[p]
    if not a then a = remember(p) end
    return a
  end
  if t == "cdata" then return cast(voidp, p) end
  return false
end

local function queue_arg(level, q)
  local a = address(q)
  if not a then argerror(level + 1, 1, K.queue_pointer_expected) end
  return a
end

-- The optional time limit: nil is none (FOREVER); otherwise a number that
-- is neither NaN nor negative.
local function limit(level, ms)
  if ms == nil then return FOREVER end
  if type(ms) ~= "number" then argerror(level + 1, 2, K.timeout_type:format(type(ms))) end
  if ms ~= ms then argerror(level + 1, 2, K.timeout_nan) end
  if ms < 0 then argerror(level + 1, 2, K.timeout_negative) end
  return ms
end

-- The queue and time limit of wait_dequeue and wait_pop (called by them:
-- `level` 3 is theirs).  The usual ones pass without a call a trace cannot
-- hold.
local function waiting(q, ms)
  local a = address(q)
  if not a then a = queue_arg(3, q) end
  if ms == nil then ms = FOREVER
  elseif not (type(ms) == "number" and ms >= 0) then ms = limit(3, ms) end
  return a, ms
end

local M = {}
for k, v in pairs(classic) do M[k] = v end

-- Addresses ----------------------------------------------------------------

local function enqueue_slow(q, item)
  local a = queue_arg(3, q)
  local it = address(item)
  if not it then argerror(3, 2, K.pointer_expected) end
  if C.quandel_queue_enqueue(state, a, it, out) ~= OK then fail(3) end
end

function M.enqueue(q, item)
  local a, it = address(q), address(item)
  if a and it then
    if C.quandel_queue_enqueue(state, a, it, out) == OK then return end
    fail(2)
  end
  enqueue_slow(q, item)
end

function M.dequeue(q)
  local a = address(q)
  if not a then a = queue_arg(2, q) end
  local st = C.quandel_queue_take(state, a, 0, out)
  if st == OK then return out.item end
  if st ~= EMPTY then fail(2) end
end

function M.wait_dequeue(q, ms)
  local a
  a, ms = waiting(q, ms)
  local st = C.quandel_queue_take(state, a, ms, out)
  if st == OK then return out.item end
  if st ~= EMPTY then fail(2) end
end

function M.len(q)
  local a = address(q)
  if not a then a = queue_arg(2, q) end
  if C.quandel_queue_len(state, a, out) ~= OK then fail(2) end
  return tonumber(out.count)
end

-- Strings ------------------------------------------------------------------

local function push_slow(q, s)
  local a = queue_arg(3, q)
  local t = type(s)
  if t == "number" then
    s = tostring(s)
  elseif t ~= "string" then
    -- (nil: without varargs an explicit nil and a missing argument look the
    -- same; memory.queue says "no value" for the latter.)
    argerror(3, 2, "string expected, got " .. t)
  end
  if C.quandel_queue_push(state, a, s, #s, out) ~= OK then fail(3) end
end

function M.push(q, s)
  local a = address(q)
  if a and type(s) == "string" then
    if C.quandel_queue_push(state, a, s, #s, out) == OK then return end
    fail(2)
  end
  push_slow(q, s)
end

-- A string longer than BUF: the library copied it into a buffer of its own,
-- freed here on every path (the finalizer, should making the string fail).
local function heap_string()
  local heap = ffi.gc(out.heap, C.quandel_queue_free_string)
  local s = fstring(heap, out.size)
  C.quandel_queue_free_string(ffi.gc(heap, nil))
  return s
end

local function popped(st)
  if st == OK then
    if out.heap == nil then return fstring(buf, out.size) end
    return heap_string()
  end
  if st == EMPTY then return nil end
  fail(3)
end

function M.pop(q)
  local a = address(q)
  if not a then a = queue_arg(2, q) end
  return (popped(C.quandel_queue_pop(state, a, 0, buf, BUF, out)))
end

function M.wait_pop(q, ms)
  local a
  a, ms = waiting(q, ms)
  return (popped(C.quandel_queue_pop(state, a, ms, buf, BUF, out)))
end

return M
