-- Timing loops and Markdown table rows for the benchmark scripts.
local B = {}

-- The process's CPU time where the C runtime's clock() measures it (glibc);
-- the Windows runtime's clock() is wall time, so there the host's clock.
B.now = host.platform == "windows" and host.clock or os.clock

-- Seconds per call of fn(...), the best of 5 runs of n calls (the least
-- disturbed by other work on the machine).
function B.per_call(n, fn, ...)
  local best = math.huge
  for _ = 1, 5 do
    local t0 = B.now()
    for _ = 1, n do fn(...) end
    best = math.min(best, B.now() - t0)
  end
  return best / n
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

return B
