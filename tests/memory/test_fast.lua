-- memory.fast stays compilable: a loop of each hot function becomes a
-- trace that neither aborts nor stitches (stitching is how LuaJIT leaves a
-- trace for a function it cannot compile, a classic C function among them).
-- The same loop over memory's own table must stitch, or the check sees
-- nothing.  And where both fail, both raise the same error.
local T = require("testlib")
local jutil = require("jit.util")
local fast = require("memory.fast")
local classic = T.classic_memory()

local ok_vmdef, vmdef = pcall(require, "jit.vmdef")
local function reason(code, info)
  local text = ok_vmdef and vmdef.traceerr[code] or ("trace error " .. tostring(code))
  if type(info) == "number" and text:find("%%d") then return text:format(info) end
  if info ~= nil and text:find("%%s") then return text:format(tostring(info)) end
  return text
end

-- Runs `body` and reports what the trace compiler did meanwhile.
local function watch(body)
  local seen = { traces = 0, problems = {} }
  local function on_trace(what, tr, _, _, code, info)
    -- "Leaving loop in root trace" (8) and "inner loop in root trace" (9) are
    -- about where recording started (hot counters are shared between loops
    -- and functions), not about what it met; the functions have no loops.
    if what == "abort" and code ~= 8 and code ~= 9 then
      seen.problems[#seen.problems + 1] = "abort: " .. reason(code, info)
    elseif what == "stop" then
      seen.traces = seen.traces + 1
      local linktype = jutil.traceinfo(tr).linktype
      if linktype == "stitch" then seen.problems[#seen.problems + 1] = "trace " .. tr .. " stitches" end
    end
  end
  jit.flush()
  jit.attach(on_trace, "trace")
  local okay, err = pcall(body)
  jit.attach(on_trace)
  assert(okay, err)
  return seen
end

local N = 2000
local function loops(m)
  local p = m.shared(4 + 64 + 16)
  m.seq_write(p, 0, 4, string.rep("s", 64))
  local s16 = string.rep("w", 16)
  local cases = {
    size = function() local n = 0; for _ = 1, N do n = n + m.size(p) end; return n end,
    read = function() local n = 0; for i = 1, N do n = n + #m.read(p, 68, 16) end; return n end,
    write = function() for _ = 1, N do m.write(p, 68, s16) end end,
    get_i32 = function() local n = 0; for i = 1, N do n = n + m.get_i32(p, 68 + i % 8) end; return n end,
    set_i32 = function() for i = 1, N do m.set_i32(p, 68, i) end end,
    get_f64 = function() local n = 0; for _ = 1, N do n = n + m.get_f64(p, 72) end; return n end,
    set_f64 = function() for i = 1, N do m.set_f64(p, 72, i * 0.5) end end,
    atomic_i32 = function() local n = 0; for _ = 1, N do n = n + m.atomic_i32(p, 68) end; return n end,
    atomic_set_i32 = function() for i = 1, N do m.atomic_set_i32(p, 68, i) end end,
    atomic_add_i32 = function() for _ = 1, N do m.atomic_add_i32(p, 68, 1) end end,
    cas_i32 = function() local n = 0; for i = 1, N do if m.cas_i32(p, 68, i, i + 1) then n = n + 1 end end; return n end,
    seq_read = function() local n = 0; for _ = 1, N do n = n + #m.seq_read(p, 0, 4, 64) end; return n end,
    seq_write = function() for _ = 1, N do m.seq_write(p, 0, 4, s16, 64) end end,
    fill = function() for i = 1, N do m.fill(p, 68, 16, i % 256) end end,
  }
  return p, cases
end

local names = { "size", "read", "write", "get_i32", "set_i32", "get_f64", "set_f64", "atomic_i32",
                "atomic_set_i32", "atomic_add_i32", "cas_i32", "seq_read", "seq_write", "fill" }

T.case("a loop of each memory.fast function compiles without an abort or a stitch", function()
  T.truthy(jit.status(), "the JIT compiler is on")
  local p, cases = loops(fast)
  local bad = {}
  for _, name in ipairs(names) do
    local seen = watch(cases[name])
    if seen.traces == 0 then bad[#bad + 1] = name .. ": no trace" end
    for _, problem in ipairs(seen.problems) do bad[#bad + 1] = name .. ": " .. problem end
  end
  fast.release(p)
  T.eq(table.concat(bad, "\n"), "", "trace problems")
end)

T.case("the same loop over memory's own functions stitches (the check can fail)", function()
  local p, cases = loops(classic)
  local seen = watch(cases.get_i32)
  classic.release(p)
  T.truthy(#seen.problems > 0, "a classic call leaves the trace")
end)

-- Every hot function, on a freed block, a released shared block, a range
-- out of bounds and bad arguments: memory.fast raises what memory raises,
-- position and function name included.
local function call(t, name, ...)
  local f = t[name]
  return f(...)
end

T.case("memory.fast raises memory's errors word for word", function()
  local freed = classic.alloc(8)
  classic.free(freed)
  local released = classic.shared(8)
  classic.release(released)
  local p = classic.shared(16)
  local big = string.rep("x", 300)
  local addresses = { freed, released, p }
  local calls = {
    { "size" }, { "read", 4, 16 }, { "read", 0, 300 }, { "write", 9, "12345678" }, { "write", 0, big },
    { "fill", 8, 9, 1 }, { "get_i32", 13 }, { "set_i32", 13, 1 }, { "get_f64", 9 }, { "set_f64", 9, 1 },
    { "atomic_i32", 16 }, { "atomic_set_i32", 16, 1 }, { "atomic_add_i32", 16, 1 },
    { "cas_i32", 16, 0, 1 }, { "seq_read", 0, 4, 13 }, { "seq_read", 0, 4, 300 },
    { "seq_write", 0, 4, "x", 13 }, { "seq_write", 8, 12, big },
    -- argument errors, in memory's order
    { "read", -1 }, { "read", 0 }, { "read", 0 / 0, 1 }, { "write", 0 }, { "write", 0, {} },
    { "fill", 0, 1, 256 }, { "fill", 0, 1 }, { "get_i32", "x" }, { "set_i32", 0 }, { "set_i32", 0, 1 / 0 },
    { "atomic_i32", 2 }, { "atomic_add_i32", -2 }, { "atomic_add_i32", 2 }, { "cas_i32", 0, 1 },
    { "seq_read", 0, 2, 4 }, { "seq_read", 0, 4, 4, 0 }, { "seq_read", 0, 4, 4, 0 / 0 },
    { "seq_write", 0, 4, "abc", 2 }, { "seq_write", 0, 4 }, { "seq_write", 1, 4, "" },
  }
  local compared = 0
  for _, address in ipairs(addresses) do
    for i, c in ipairs(calls) do
      local ok1, e1 = pcall(call, classic, c[1], address, unpack(c, 2))
      local ok2, e2 = pcall(call, fast, c[1], address, unpack(c, 2))
      if ok1 or ok2 then
        T.eq(ok2, ok1, c[1] .. " succeeds on both or neither")
      else
        T.eq(e2, e1, ("%s, case %d"):format(c[1], i))
        compared = compared + 1
      end
    end
  end
  -- Not an address at all.
  for _, v in ipairs({ 1234, "x", true }) do
    local _, e1 = pcall(call, classic, "get_i32", v, 0)
    local _, e2 = pcall(call, fast, "get_i32", v, 0)
    T.eq(e2, e1, "get_i32 on a " .. type(v))
  end
  T.truthy(compared > 80, "compared " .. compared .. " errors")
  print("     " .. compared .. " errors compared")
  classic.release(p)
end)

-- memory.queue.fast: a producer's and a consumer's loop of each item function
-- compile, and its errors are memory.queue's.
local qfast = require("memory.queue.fast")
local qclassic = T.load("Quandel", "luaopen_memory_queue")

local function queue_loops(Q)
  local q = Q.new()
  local s16, item = string.rep("w", 16), classic.alloc(1)
  -- A light userdata is turned into a pointer once per state, outside any
  -- trace (memory.fast's loops do the same with their block).
  Q.enqueue(q, item)
  qclassic.dequeue(q)
  local function fill(push)
    return function() for _ = 1, N do if push then qclassic.push(q, s16) else qclassic.enqueue(q, item) end end end
  end
  local cases = {
    enqueue = { nil, function() for _ = 1, N do Q.enqueue(q, item) end end },
    dequeue = { fill(), function() local n = 0; for _ = 1, N do if Q.dequeue(q) then n = n + 1 end end; return n end },
    wait_dequeue = { fill(), function() for _ = 1, N do Q.wait_dequeue(q) end end },
    ["wait_dequeue with a limit"] = { fill(), function() for _ = 1, N do Q.wait_dequeue(q, 50) end end },
    len = { nil, function() local n = 0; for _ = 1, N do n = n + Q.len(q) end; return n end },
    push = { nil, function() for _ = 1, N do Q.push(q, s16) end end },
    pop = { fill(true), function() local n = 0; for _ = 1, N do n = n + #Q.pop(q) end; return n end },
    wait_pop = { fill(true), function() local n = 0; for _ = 1, N do n = n + #Q.wait_pop(q) end; return n end },
    ["wait_pop with a limit"] = { fill(true), function() local n = 0; for _ = 1, N do n = n + #Q.wait_pop(q, 50) end; return n end },
  }
  -- What a case left in the queue goes before the next one.
  local function drain()
    for it in function() return qclassic.dequeue(q) end do
      if it ~= item then classic.free(it) end
    end
  end
  local function done()
    drain()
    Q.delete(q)
    classic.free(item)
  end
  return cases, done, drain
end

T.case("a loop of each memory.queue.fast function compiles without an abort or a stitch", function()
  local cases, done, drain = queue_loops(qfast)
  local bad = {}
  for _, name in ipairs({ "enqueue", "dequeue", "wait_dequeue", "wait_dequeue with a limit", "len", "push",
                          "pop", "wait_pop", "wait_pop with a limit" }) do
    drain()
    if cases[name][1] then cases[name][1]() end
    local seen = watch(cases[name][2])
    if seen.traces == 0 then bad[#bad + 1] = name .. ": no trace" end
    for _, problem in ipairs(seen.problems) do bad[#bad + 1] = name .. ": " .. problem end
  end
  done()
  T.eq(table.concat(bad, "\n"), "", "trace problems")
end)

T.case("the same loop over memory.queue's own functions stitches (the check can fail)", function()
  local cases, done, drain = queue_loops(qclassic)
  cases.wait_pop[1]()
  local seen = watch(cases.wait_pop[2])
  done()
  T.truthy(#seen.problems > 0, "a classic call leaves the trace")
end)

-- memory.queue.fast's errors are checked word for word by the queue tests,
-- which run against it too (queue.fast.basics, queue.fast.threads).

T.case("without LuaJIT's FFI, loading memory.fast or memory.queue.fast says so", function()
  for fast_name, classic_name in pairs({ ["memory.fast"] = "memory", ["memory.queue.fast"] = "memory.queue" }) do
    local ok, err = host.run([[
      -- A Lua without the FFI, as far as the module can tell.
      local real = require
      require = function(name)
        if name == "ffi" then error("module 'ffi' not found", 2) end
        return real(name)
      end
      return real(...)
    ]], fast_name)
    T.eq(ok, false)
    local text = ("%s needs LuaJIT's FFI, which this Lua does not have; use %s instead"):format(fast_name, classic_name)
    T.truthy(tostring(err):find(text, 1, true), tostring(err))
  end
end)

T.finish()
