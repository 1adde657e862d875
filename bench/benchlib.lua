-- Timing loops, thread runs and Markdown tables for the memory and queue
-- benchmarks.  Every figure is the best of several rounds (the least disturbed
-- by other work on the machine) and every goal is a ratio against a baseline
-- timed in the same run.  When LUAMODS_BASELINE_BIN names the folder of
-- another build's Quandel, that library is loaded beside this build's one and
-- every case is timed on both: the "old" columns.
local ffi = require("ffi")
local B = {}

B.windows = host.platform == "windows"
B.target = B.windows and "windows" or "native"
local SUFFIX = os.getenv("LUAMODS_SUFFIX") or (B.windows and ".dll" or ".so")

-- The process's CPU time where the C runtime's clock() measures it (glibc);
-- the Windows runtime's clock() is wall time, so there the host's clock.
B.now = B.windows and host.clock or os.clock

-- ---------------------------------------------------------------------------
-- Libraries.

-- A library of a build folder: B.load(dir, "bench_queue", "luaopen_bench_queue").
function B.load(dir, file, entry)
  local open, err = package.loadlib(dir .. "/" .. file .. SUFFIX, entry)
  return assert(open, err)()
end

local function copy_file(from, to)
  local i = assert(io.open(from, "rb"))
  local data = i:read("*a")
  i:close()
  local o = assert(io.open(to, "wb"))
  o:write(data)
  o:close()
end

-- B.setup() loads the libraries (once, in the state that runs the script;
-- a state on a thread loads what it times by path) and returns B with
-- B.libs: { {name = "new"|"old", path = library file, m = memory, q = memory.queue} }
-- and B.new, B.old (nil without a baseline) naming its entries.
B.bin = os.getenv("LUAMODS_BIN") or "."
local function quandel(name, path)
  return { name = name, path = path,
           m = assert(package.loadlib(path, "luaopen_memory"))(),
           q = assert(package.loadlib(path, "luaopen_memory_queue"))() }
end
function B.setup()
  if B.libs then return B end
  B.libs = { quandel("new", B.bin .. "/Quandel" .. SUFFIX) }
  B.new = B.libs[1]
  local old_bin = os.getenv("LUAMODS_BASELINE_BIN")
  if old_bin and old_bin ~= "" then
    local old = quandel("old", old_bin .. "/Quandel" .. SUFFIX)
    -- Two copies are two registries: a block of one is unknown to the other.
    -- A loader that handed back the loaded copy for the same file name gets
    -- the old one under a name of its own.
    local p = B.new.m.alloc(8)
    if pcall(old.m.size, p) then
      local path = old_bin .. "/Quandel_base" .. SUFFIX
      copy_file(old.path, path)
      old = quandel("old", path)
      assert(not pcall(old.m.size, p), "the baseline library is the same copy as this build's")
    end
    B.new.m.free(p)
    B.libs[2] = old
    B.old = old
  end
  return B
end

-- ---------------------------------------------------------------------------
-- Loops.

-- A loop of n runs of `body` (Lua statements) over the named values in vars,
-- compiled as a prototype of its own: LuaJIT's traces are specialised on the
-- functions a loop calls, so loops that shared one prototype would leave the
-- trace for the interpreter when the callee changes.
function B.loop(body, vars)
  local names, values = {}, {}
  for k in pairs(vars) do names[#names + 1] = k end
  table.sort(names)
  for i, k in ipairs(names) do values[i] = vars[k] end
  local src = "local " .. table.concat(names, ", ") .. " = ...\n" ..
              "return function(n) for _ = 1, n do " .. body .. " end end"
  return assert(loadstring(src, "=loop"))(unpack(values, 1, #names))
end

-- The same vars with every function replaced by host.empty: the loop of
-- empty C calls taking the same arguments.
function B.emptied(vars)
  local e = {}
  for k, v in pairs(vars) do e[k] = type(v) == "function" and host.empty or v end
  return e
end

-- ns per iteration of each loop(n) of `loops`, timed in turns round after
-- round (each round starting at the next loop, so none always runs first) so
-- that a disturbance hits them alike; the best of `rounds` each.
function B.compare(loops, n, rounds)
  local best = {}
  for i, loop in ipairs(loops) do
    loop(math.floor(n / 10))
    best[i] = math.huge
  end
  for r = 1, rounds or 5 do
    for k = 0, #loops - 1 do
      local i = (r + k) % #loops + 1
      local t0 = B.now()
      loops[i](n)
      best[i] = math.min(best[i], B.now() - t0)
    end
  end
  for i = 1, #best do best[i] = best[i] * 1e9 / n end
  return best
end

-- ---------------------------------------------------------------------------
-- Threads.

-- The gate every run's states wait at: word 0 counts the states that are
-- ready, word 4 opens the gate.  It lives in this build's library.
local PRELUDE = "package.path = " .. string.format("%q", package.path) .. [[

local newpath, gate, code = ...
local G = assert(package.loadlib(newpath, "luaopen_memory"))()
local ok, run = pcall(assert(loadstring(code, "=state")), select(4, ...))
G.atomic_add_i32(gate, 0, 1)
if not ok then error(run, 0) end
while G.atomic_i32(gate, 4) == 0 do end
local t0 = host.clock()
run()
return t0, host.clock()
]]

-- Runs each chunk of `chunks` (Lua source, given `...`, returning a function
-- run()) in a state on a thread of its own.  The chunks set up, the states
-- wait until all are ready, and are released together; returns the seconds
-- from the first run's start to the last run's end.
function B.together(chunks, ...)
  local G = B.new.m
  local gate = G.alloc(8)
  G.atomic_set_i32(gate, 0, 0)
  G.atomic_set_i32(gate, 4, 0)
  local threads = {}
  for i, code in ipairs(chunks) do threads[i] = host.start(PRELUDE, B.new.path, gate, code, ...) end
  -- Sleep, not spin: the states need both cores to get ready.
  while G.atomic_i32(gate, 0) < #chunks do host.sleep(0.0005) end
  G.atomic_set_i32(gate, 4, 1)
  local first, last = math.huge, -math.huge
  for _, t in ipairs(threads) do
    local ok, t0, t1 = host.join(t)
    assert(ok, t0)
    first, last = math.min(first, t0), math.max(last, t1)
  end
  G.free(gate)
  return last - first
end

-- Calls per second of `threads` states that each run `code` (given `...`,
-- returning run()) making `calls` calls, all together.
function B.rate(threads, calls, code, ...)
  local chunks = {}
  for i = 1, threads do chunks[i] = code end
  return threads * calls / B.together(chunks, ...)
end

-- ---------------------------------------------------------------------------
-- Process memory.

if B.windows then
  ffi.cdef [[
    typedef struct {
      uint32_t cb, PageFaultCount;
      size_t PeakWorkingSetSize, WorkingSetSize, QuotaPeakPagedPoolUsage,
             QuotaPagedPoolUsage, QuotaPeakNonPagedPoolUsage,
             QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage, PrivateUsage;
    } luamods_bench_pmc;
    void* GetCurrentProcess(void);
    int K32GetProcessMemoryInfo(void*, luamods_bench_pmc*, uint32_t);
  ]]
end

-- Resident bytes of the process (the working set on Windows), or nil.
function B.rss()
  if B.windows then
    local pmc = ffi.new("luamods_bench_pmc")
    pmc.cb = ffi.sizeof(pmc)
    if ffi.C.K32GetProcessMemoryInfo(ffi.C.GetCurrentProcess(), pmc, pmc.cb) == 0 then return nil end
    return tonumber(pmc.WorkingSetSize)
  end
  local f = io.open("/proc/self/status")
  if not f then return nil end
  local kb = f:read("*a"):match("VmRSS:%s*(%d+)")
  f:close()
  return kb and tonumber(kb) * 1024
end

-- ---------------------------------------------------------------------------
-- Tables.

function B.row(...)
  local cells = {}
  for i = 1, select("#", ...) do cells[i] = tostring((select(i, ...))) end
  print("| " .. table.concat(cells, " | ") .. " |")
end

function B.header(...)
  B.row(...)
  local rule = {}
  for i = 1, select("#", ...) do rule[i] = "---" end
  B.row(unpack(rule))
end

function B.title(text)
  print(string.format("\n#### %s (%s)\n", text, B.target))
end

-- "≤ 2.5× met" for ("<=", 2.5, 2.1); "" without a goal.
function B.goal(op, limit, ratio)
  if not limit then return "" end
  local met = (op == "<=" and ratio <= limit) or (op == ">=" and ratio >= limit)
  return string.format("%s %.1f× %s", op == "<=" and "≤" or "≥", limit, met and "met" or "MISSED")
end

-- rows: { {name, ns, baseline_ns, goal_text}, ... }: times against a baseline.
function B.table(title, rows)
  B.title(title)
  B.header("case", "ns/call", "baseline ns/call", "ratio", "goal")
  for _, r in ipairs(rows) do
    B.row(r[1], string.format("%.1f", r[2]), string.format("%.1f", r[3]),
          string.format("%.2f×", r[2] / r[3]), r[4] or "")
  end
end

local function x(r) return string.format("%.2f×", r) end
local function ns(t) return string.format("%.1f", t) end

-- Per-call cases against the empty C call with the same arguments.  A case:
-- { name, body, setup, goal, n = calls }: setup(lib) returns the vars of the
-- loop body for one library ({ m = memory, q = memory.queue }); goal is the
-- largest ratio that meets it, or nil; n overrides the calls per round.  With
-- a baseline library, its time and new/old follow.
function B.per_call(title, cases, n, rounds)
  B.title(title)
  local head = { "case", "ns/call", "empty call ns", "ratio", "goal" }
  if B.old then
    for _, h in ipairs({ "old ns/call", "old ratio", "new/old" }) do head[#head + 1] = h end
  end
  B.header(unpack(head))
  for _, c in ipairs(cases) do
    local name, body, setup, goal = c[1], c[2], c[3], c[4]
    local vars = setup(B.new)
    local loops = { B.loop(body, B.emptied(vars)), B.loop(body, vars) }
    if B.old then loops[3] = B.loop(body, setup(B.old)) end
    local t = B.compare(loops, c.n or n, rounds)
    local cells = { name, ns(t[2]), ns(t[1]), x(t[2] / t[1]), B.goal("<=", goal, t[2] / t[1]) }
    if B.old then
      for _, v in ipairs({ ns(t[3]), x(t[3] / t[1]), x(t[2] / t[3]) }) do cells[#cells + 1] = v end
    end
    B.row(unpack(cells))
  end
end

return B
