-- Timing loops and Markdown tables for the benchmark scripts: every figure is
-- the best of several rounds (the least disturbed by other work on the
-- machine) and goals are ratios against a baseline timed in the same run.
local B = {}

B.windows = host.platform == "windows"
B.target = B.windows and "windows" or "native"

-- The process's CPU time where the C runtime's clock() measures it (glibc);
-- the Windows runtime's clock() is wall time, so there the host's clock.
B.now = B.windows and host.clock or os.clock

-- A loop of n calls of fn(...) with a prototype of its own: LuaJIT's traces
-- are specialised on the function a loop calls, so loops that shared one
-- prototype would leave the trace for the interpreter when the callee changes.
function B.loop(fn, ...)
  local make = assert(loadstring([[
    local fn, a, b, c, d, e = ...
    return function(n) for _ = 1, n do fn(a, b, c, d, e) end end
  ]]))
  assert(select("#", ...) <= 5, "at most 5 arguments")
  return make(fn, ...)
end

-- Seconds per call of fn(...), the best of 5 runs of n calls.
function B.per_call(n, fn, ...)
  local loop = B.loop(fn, ...)
  loop(math.floor(n / 10))
  local best = math.huge
  for _ = 1, 5 do
    local t0 = B.now()
    loop(n)
    best = math.min(best, B.now() - t0)
  end
  return best / n
end

-- ns per iteration of loop(n), a function that runs its own loop of n
-- iterations; the best of `rounds` after a warm-up.
function B.ns_per_call(loop, n, rounds)
  loop(math.floor(n / 10))
  local best = math.huge
  for _ = 1, rounds or 5 do
    local t0 = B.now()
    loop(n)
    best = math.min(best, B.now() - t0)
  end
  return best * 1e9 / n
end

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

-- rows: { {name, ns, baseline_ns, goal_text}, ... }
function B.table(title, rows)
  print(string.format("\n### %s (%s)\n", title, B.target))
  B.header("case", "ns/call", "baseline ns/call", "ratio", "goal")
  for _, r in ipairs(rows) do
    B.row(r[1], string.format("%.1f", r[2]), string.format("%.1f", r[3]),
          string.format("%.2f×", r[2] / r[3]), r[4] or "")
  end
end

-- rows: { {name, value text}, ... } for rates and other plain figures.
function B.figures(title, rows)
  print(string.format("\n### %s (%s)\n", title, B.target))
  B.header("case", "value")
  for _, r in ipairs(rows) do B.row(r[1], r[2]) end
end

return B
