-- The tour: the modules doing real work together.  Run by scripts/demo on the
-- native build and under Wine on the Windows build.
local T = require("testlib")
local m = T.memory()

local function say(fmt, ...) io.write(string.format(fmt, ...), "\n") io.flush() end

say("luamods tour on %s (%d hardware threads)", host.platform, host.cores)

-- 1. memory: several Lua states on threads fill slices of one block; the main
--    state reads the result.  Only the address crosses between the states.
do
  local WORKERS, PER = 4, 250000
  local results = m.alloc(WORKERS * 8)
  m.fill(results, 0, WORKERS * 8, 0)
  local COUNT_PRIMES = [[
    local block, slot, from, to = ...
    local m = require("testlib").memory()
    local count = 0
    for n = math.max(from, 2), to do
      local prime = true
      for d = 2, math.floor(math.sqrt(n)) do
        if n % d == 0 then prime = false break end
      end
      if prime then count = count + 1 end
    end
    m.write(block, slot * 8, string.format("%8d", count))
    return count
  ]]
  local t0 = host.clock()
  local threads = {}
  for i = 0, WORKERS - 1 do
    threads[#threads + 1] = host.start(COUNT_PRIMES, results, i, i * PER + 1, (i + 1) * PER)
  end
  for _, t in ipairs(threads) do assert(t:join()) end
  local total = 0
  for i = 0, WORKERS - 1 do
    local n = tonumber(m.read(results, i * 8, 8))
    say("  worker %d: %6d primes in (%d, %d]", i, n, i * PER, (i + 1) * PER)
    total = total + n
  end
  say("memory: %d states counted %d primes below %d into one block in %.2f s",
      WORKERS, total, WORKERS * PER, host.clock() - t0)
  say("memory: %d bytes held before free, %d after", m.count_allocations(),
      (m.free(results) or m.count_allocations()))
end
