-- Timing helpers for the benchmarks: ns per call of a loop, measured as the
-- best of several rounds so that a noisy machine disturbs the figure less,
-- and a Markdown table of ratios against a baseline timed in the same run.
local B = {}

B.windows = require("ffi").os == "Windows"
B.target = B.windows and "windows" or "native"

-- ns per iteration of fn(n) (fn runs its own loop of n iterations).
function B.ns_per_call(fn, n, rounds)
  rounds = rounds or 5
  fn(math.floor(n / 10))          -- warm-up: traces compiled, caches filled
  local best = math.huge
  for _ = 1, rounds do
    local t0 = host.clock()
    fn(n)
    local dt = host.clock() - t0
    if dt < best then best = dt end
  end
  return best * 1e9 / n
end

-- rows: { {name, ns, baseline_ns, goal_text}, ... }
function B.table(title, rows)
  print(string.format("\n### %s (%s)\n", title, B.target))
  print("| case | ns/call | baseline ns/call | ratio | goal |")
  print("|---|---:|---:|---:|---|")
  for _, r in ipairs(rows) do
    print(string.format("| %s | %.1f | %.1f | %.2f× | %s |", r[1], r[2], r[3], r[2] / r[3], r[4] or ""))
  end
end

-- rows: { {name, value, unit}, ... } for rates and other plain figures.
function B.figures(title, rows)
  print(string.format("\n### %s (%s)\n", title, B.target))
  print("| case | value |")
  print("|---|---:|")
  for _, r in ipairs(rows) do
    print(string.format("| %s | %s |", r[1], r[2]))
  end
end

return B
