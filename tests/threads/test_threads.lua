-- The threads module, run by plain luajit (luajit.exe under Wine) and by the
-- test host: states on threads, what crosses between them (tables deeply,
-- with their shape), the outcome of a chunk, argument errors, status and
-- names, the host record and its clean-up, and threads left unjoined.
local threads = require("threads")  -- first: plain luajit's state gets this library's record
local host = rawget(_G, "host")
local T = require("testlib")
local ffi = require("ffi")
local m, queue = T.memory(), T.queue()

local function argerror(n, name, message)
  return T.argerror(n, name, message)
end
local CROSSING = "nil, boolean, number, string, light userdata or table"

T.case("every kind of value crosses to the thread and back", function()
  local values = { n = 7, nil, true, false, 1.5, "a\0b", m.alloc(1), -0x7fffffff }
  local results = { threads.start("return select('#', ...), ...", unpack(values, 1, values.n)):join() }
  T.eq(results[1], true, "ok")
  T.eq(results[2], values.n, "count")
  for i = 1, values.n do T.eq(results[i + 2], values[i], "value " .. i) end
  m.free(values[6])
end)

T.case("the outcome of a chunk: results, or the error text with a traceback", function()
  local path = os.tmpname()
  local f = assert(io.open(path, "wb"))
  f:write("#!/usr/bin/env luajit\nreturn ... .. ' from a file'\n")
  f:close()
  local cases = {
    { "error('boom')", "^%[string \"error%('boom'%)\"%]:1: boom\nstack traceback:\n" },
    { "error({})", "^%(error object is a table value%)$" },
    { "local x = = 1", "^%[string \"local x = = 1\"%]:1: unexpected symbol near '='$" },
    { "return 1, print", "^threads: result 2 is a function; a thread returns only " .. CROSSING .. "$" },
    { "return io.stdout", "^threads: result 1 is a userdata; a thread returns only " .. CROSSING .. "$" },
  }
  for _, c in ipairs(cases) do
    local ok, err = threads.start(c[1]):join()
    T.eq(ok, false, c[1])
    T.truthy(err:find(c[2]), c[1] .. " gives " .. err)
  end
  T.eq(select(2, threads.start({ file = path }, "hello"):join()), "hello from a file", "file")
  T.eq(select(2, threads.start({ code = "return 42" }):join()), 42, "code field")
  os.remove(path)
end)

T.case("argument errors come first, with clear messages", function()
  local done = threads.start("return 1")
  done:join()
  local cases = {
    { argerror(1, "start", "source text or a table with code or file expected"), function() threads.start() end },
    { argerror(1, "start", "code or file expected"), function() threads.start({}) end },
    { argerror(1, "start", "code must be a string"), function() threads.start({ code = 1 }) end },
    { argerror(1, "start", "code and file exclude each other"), function() threads.start({ code = "", file = "x" }) end },
    { argerror(1, "start", "name must be a string"), function() threads.start({ code = "", name = 1 }) end },
    { argerror(2, "start", CROSSING .. " expected, got cdata"), function() threads.start("", 1LL) end },
    { argerror(3, "start", CROSSING .. " expected, got function"), function() threads.start("", nil, print) end },
    { argerror(1, "join", "threads.thread expected, got string"), function() threads.join("x") end },
    { "threads.join: the thread has been joined already", function() done:join() end },
    { argerror(1, "sleep", "seconds must be between 0 and 1e7"), function() threads.sleep(-1) end },
    { argerror(2, "join", "timeout must not be negative"), function() threads.join(done, -1) end },
    { argerror(2, "join", "timeout must not be NaN"), function() threads.join(done, 0 / 0) end },
    { argerror(2, "join", "number expected, got string"), function() threads.join(done, "5") end },
    { argerror(1, "join", "timeout must not be negative"), function() done:join(-1) end },
  }
  for _, c in ipairs(cases) do T.raises(c[1], c[2]) end
  local ok, err = pcall(threads.start, { file = "/no/such/script.lua" })
  T.truthy(not ok and err:find("threads.start: cannot open /no/such/script.lua: ", 1, true), tostring(err))
end)

-- Whether b is a copy of a: equal plain values, and tables of the same
-- shape (a table met twice in a is one table met twice in b, and two tables
-- of a are two tables of b).
local function same(a, b, map, back)
  map, back = map or {}, back or {}
  if type(a) ~= "table" then return a == b end
  if type(b) ~= "table" then return false end
  if map[a] or back[b] then return map[a] == b and back[b] == a end
  map[a], back[b] = b, a
  local n = 0
  for k, v in pairs(a) do
    n = n + 1
    if not same(v, b[k], map, back) then return false end
  end
  for _ in pairs(b) do n = n - 1 end
  return n == 0
end

-- A chain of `levels` tables, each under the key n of the one before.
local function chain(levels)
  local root = {}
  local t = root
  for _ = 2, levels do t.n = {}; t = t.n end
  return root, t
end

T.case("tables cross both ways, copied deeply; pointers as addresses", function()
  local block = m.alloc(1)
  local given = {
    1, "two", true, 1.5, "a\0b", block,
    [true] = false, [2.5] = "x", [-1] = -0x7fffffff, [""] = "empty key",
    nested = { { { "deep" } }, {} },
    pointers = { ffi.cast("void *", block), ffi.cast("const char *", block), ffi.cast("int (*)(int)", block) },
  }
  local expected = { unpack(given, 1, 6) }
  for k, v in pairs(given) do if type(k) ~= "number" or k % 1 ~= 0 or k < 1 then expected[k] = v end end
  expected.pointers = { block, block, block }
  local starts = { function(...) return threads.start("return ...", ...):join() end }
  if host then starts[2] = function(...) return host.run("return ...", ...) end end
  for i, run in ipairs(starts) do
    local ok, back, plain, again = run(given, "plain", given)
    T.eq(ok, true, "ok " .. i)
    T.truthy(same(expected, back), "the copy has the values and shape of the original " .. i)
    T.eq(plain, "plain", "a plain value beside it " .. i)
    T.eq(again, back, "a table given twice arrives as one table " .. i)
  end
  m.free(block)
end)

T.case("what cannot cross is refused with its path, before a thread starts or at join", function()
  local p = m.alloc(1)
  -- Source of a value (p is a light userdata there), the path after the
  -- argument or result, what cannot cross.
  local cases = {
    { "{ f = print }", ".f", "a function" },
    { "{ 1, { co = coroutine.create(print) } }", "[2].co", "a coroutine" },
    { "{ io.stdout }", "[1]", "a full userdata" },
    { "{ x = 1LL }", ".x", "a cdata that is not a pointer" },
    { "{ x = require('ffi').new('int[2]') }", ".x", "a cdata that is not a pointer" },
    { "{ ['two words'] = { [true] = { [1.5] = print } } }", '["two words"][true][1.5]', "a function" },
    { "{ [string.rep('k', 41)] = print }", '["' .. string.rep("k", 40) .. '..."]', "a function" },
    { "{ m = setmetatable({}, {}) }", ".m", "a table with a metatable" },
    { "setmetatable({}, {})", "", "a table with a metatable" },
    { "{ t = { [{}] = 1 } }", ".t", "a table key" },
    { "{ [print] = 1 }", "", "a function key" },
    { "{ [p] = 1 }", "", "a light userdata key" },
  }
  for _, c in ipairs(cases) do
    local code = "local p = ...; return " .. c[1]
    local reason = c[2] .. ": " .. c[3] .. " cannot cross to another state"
    local value = assert(loadstring(code))(p)
    T.raises("threads.start: argument 3" .. reason, threads.start, "error('started')", 1, value)
    local ok, err = threads.start(code, p):join()
    T.eq(ok, false, c[1])
    T.eq(err, "threads: result 1" .. reason, c[1])
    if host then
      T.raises("host.start: argument 2" .. reason, host.start, "", value)
      T.eq(select(2, host.run(code, p)), "host: result 1" .. reason, c[1] .. " on the host")
    end
  end
  m.free(p)
end)

T.case("shared subtables and cycles keep their shape", function()
  local shared = { "s" }
  local v = { a = shared, b = shared, list = { shared, { shared } } }
  v.self = v
  v.list.up = v
  local ok, r, s, inside = threads.start([[
    local v, s = ...
    return v, s, v.a == v.b and v.list[2][1] == s and v.self == v and v.list.up == v
  ]], v, shared):join()
  T.eq(ok, true, "ok")
  T.eq(inside, true, "the shape as the thread sees it")
  T.truthy(same(v, r), "the shape after the way back")
  T.eq(s, r.a, "shared between two results")
end)

T.case("tables nest up to 100 levels; deeper ones are refused, however deep", function()
  local deepest = string.rep(".n", 100) .. ": a table nested more than 100 levels deep cannot cross to another state"
  local ok_chain, leaf = chain(100)
  leaf.back = ok_chain  -- a cycle adds no level
  local ok, r = threads.start("return ...", ok_chain):join()
  T.eq(ok, true, "100 levels")
  T.truthy(same(ok_chain, r), "100 levels copied")
  for _, levels in ipairs({ 101, 100000 }) do
    T.raises("threads.start: argument 2" .. deepest, threads.start, "", (chain(levels)))
    local code = "local levels = ...; local root = {}; local t = root; for _ = 2, levels do t.n = {}; t = t.n end; return root"
    T.eq(select(2, threads.start(code, levels):join()), "threads: result 1" .. deepest, levels .. " levels back")
  end
end)

T.case("status and name: running, done or failed, without joining", function()
  local q = queue.new()
  local t = threads.start({ name = "worker 3", code = [[
    local q = ...
    require("testlib").queue().wait_dequeue(q)
    error("stop", 0)
  ]] }, q)
  T.eq(t:status(), "running", "while it waits")
  T.eq(tostring(t), 'threads.thread "worker 3" (running)', "tostring")
  queue.enqueue(q, q)
  T.wait_until("the thread to end", function() return t:done() end)
  T.eq(threads.status(t), "failed", "after the error")
  local ok, err = t:join()
  T.eq(ok, false)
  T.truthy(err:find('^thread "worker 3" failed: stop\nstack traceback:\n'), "the error names the thread: " .. err)
  T.eq(tostring(t), 'threads.thread "worker 3" (failed)', "tostring after join")
  local named = threads.start({ name = "w", code = "return { f = print }" })
  T.eq(select(2, named:join()), 'thread "w" failed: threads: result 1.f: a function cannot cross to another state')
  local u = threads.start("return 1")
  T.wait_until("the thread to end", function() return u:done() end)
  T.eq(u:status(), "done", "done")
  T.truthy(tostring(u):find("^threads%.thread: 0x%x+ %(done%)$"), tostring(u))
  u:join()
  T.eq(u:status(), "done", "done after join")
  queue.delete(q)
end)

-- A thread that waits for an item on a new queue, then runs `rest` (with
-- the item in `got`): it ends when the test enqueues one.
local function start_waiting(rest)
  local q = queue.new()
  local t = threads.start([[
    local q = ...
    local T = require("testlib")
    local got = T.queue().wait_dequeue(q)
  ]] .. rest, q)
  return t, q
end

T.case("done tells without waiting whether the thread has finished", function()
  local t, q = start_waiting("return got ~= nil")
  T.eq(t:done(), false, "done while waiting")
  queue.enqueue(q, q)
  T.wait_until("the thread to finish", function() return threads.done(t) end)
  T.eq(select(2, t:join()), true, "result")
  T.eq(t:done(), true, "done after join")
  queue.delete(q)
end)

T.case("join with a time limit: nil, \"timeout\" while the thread runs, and it stays joinable", function()
  local t, q = start_waiting('return "finished", 2')
  for _, ms in ipairs({ 0, 1, 30 }) do
    local t0 = threads.clock()
    local r = { t:join(ms) }
    T.eq(#r, 2, "results of an expired join")
    T.eq(r[1], nil); T.eq(r[2], "timeout")
    T.truthy(threads.clock() - t0 >= ms / 1000 - 5e-4, "returned before its limit of " .. ms .. " ms")
    T.eq(t:done(), false, "still running")
  end
  queue.enqueue(q, q)
  local r = { t:join(1e300) }  -- a huge limit is none
  T.eq(r[1], true); T.eq(r[2], "finished"); T.eq(r[3], 2)
  T.raises("threads.join: the thread has been joined already", function() t:join(0) end)
  -- A finished thread is joined by a limit of 0, and by any other.
  for _, ms in ipairs({ 0, 50 }) do
    local u = threads.start("return ...", ms)
    while not u:done() do threads.sleep(0.001) end
    local ok, v = u:join(ms)
    T.eq(ok, true); T.eq(v, ms)
  end
  queue.delete(q)
end)

T.case("the new state has the standard libraries, the parent's paths and a host record", function()
  local ok, path, cpath, libs, env = threads.start([[
    local libs = {}
    for _, name in ipairs({ "string", "table", "math", "io", "os", "debug", "bit", "jit", "ffi" }) do
      libs[#libs + 1] = pcall(require, name) and name or "-"
    end
    return package.path, package.cpath, table.concat(libs, " "), type(debug.getregistry()._env)
  ]]):join()
  T.eq(ok, true, "ok")
  T.eq(path, package.path, "package.path")
  T.eq(cpath, package.cpath, "package.cpath")
  T.eq(libs, "string table math io os debug bit jit ffi", "libraries")
  T.eq(env, "userdata", "_env")
end)

T.case("four states share a block and a queue; the clean-ups bring count_allocations back", function()
  local baseline = m.count_allocations()
  local block, q = m.shared(4), queue.shared()
  local WORKER = [[
    local id, block, q = ...
    local T = require("testlib")
    local m, queue = T.memory(), T.queue()
    m.retain(block); queue.retain(q)
    for _ = 1, 1000 do m.atomic_add_i32(block, 0, 1) end
    queue.push(q, "from " .. id)
    m.alloc(100)   -- a plain block and a plain queue left for the clean-up
    queue.new()
    m.release(block); queue.release(q)
    return id
  ]]
  local workers = {}
  for id = 1, 4 do workers[id] = threads.start(WORKER, id, block, q) end
  for id, t in ipairs(workers) do T.eq(select(2, t:join()), id, "worker " .. id) end
  T.eq(m.atomic_i32(block, 0), 4000, "counter")
  local seen = {}
  for _ = 1, 4 do seen[#seen + 1] = queue.pop(q) end
  table.sort(seen)
  T.eq(table.concat(seen, ","), "from 1,from 2,from 3,from 4", "queued strings")
  T.eq(m.release(block), 0, "last reference of the block")
  T.eq(queue.release(q), 0, "last reference of the queue")
  T.eq(m.count_allocations(), baseline + 400, "left by the workers")
  if host then
    -- Under a host with a record of its own (the test host), the started
    -- states carry that record: the callbacks went to the host.
    T.eq(threads.cleanup(), 0, "callbacks of this library's record")
    T.eq(host.cleanup(), 2, "callbacks run by the host (memory, memory.queue)")
  else
    T.eq(threads.cleanup(), 2, "callbacks run (memory, memory.queue)")
  end
  T.eq(m.count_allocations(), baseline, "after the clean-up")
end)

T.case("a thread object collected unjoined: collection does not wait, the thread runs on", function()
  local q, flag = queue.new(), m.shared(4)
  local t = threads.start([[
    local q, flag = ...
    local T = require("testlib")
    T.queue().wait_dequeue(q)
    T.memory().atomic_set_i32(flag, 0, 1)
  ]], q, flag)
  t = nil
  collectgarbage(); collectgarbage()   -- would never return if it joined the waiting thread
  queue.enqueue(q, flag)
  T.wait_until("the dropped thread to finish its work", function() return m.atomic_i32(flag, 0) == 1 end)
  threads.start("return 1"):join()  -- reaps it
  while not pcall(queue.delete, q) do threads.sleep(0.001) end
  m.release(flag)
end)

T.case("closing a state waits for the threads it started and dropped", function()
  local flag = m.shared(4)
  local ok = threads.start([[
    local flag = ...
    local threads = require("threads")
    threads.start([=[
      local flag = ...
      require("threads").sleep(0.2)
      require("testlib").memory().atomic_set_i32(flag, 0, 1)
    ]=], flag)
    collectgarbage()
    return true
  ]], flag):join()
  T.eq(ok, true, "ok")
  T.eq(m.atomic_i32(flag, 0), 1, "the grandchild had finished when its parent state closed")
  m.release(flag)
end)

-- Left running: T.finish closes this state, which must wait for it.
threads.start("require('threads').sleep(0.1)")
T.finish()
