-- Stress: worker states on threads doing random block operations (half the
-- accesses through memory.fast) while another thread keeps calling the host
-- clean-up.  Run under the sanitizers
-- this catches races and lifetime faults of the registry; in every build it
-- checks that bytes read back are bytes some worker wrote, and that nothing
-- is left allocated at the end.
local T = require("testlib")
local m = T.memory()

local WORKERS = 4
local SECONDS = tonumber(os.getenv("LUAMODS_STRESS_SECONDS") or "3")

-- Each worker allocates sizes in its own power-of-two range, so a block the
-- clean-up took from one worker never comes back as another worker's block
-- from the size-class allocators of the sanitizers (that would be two
-- threads writing the same bytes, a race of the test, not of the module).
-- The C runtime's allocator may hand such a block over, so the content check
-- ("a worker only ever reads its own tag bytes") is strict only there.
local STRICT = os.getenv("LUAMODS_SANITIZER") ~= nil
local WORKER = [[
  local id, seconds, strict, ctl = ...
  local T = require("testlib")
  local m = T.memory()
  -- Half the accesses go through memory.fast, the same registry by the FFI.
  local fast = require("memory.fast")
  local lo, hi = 2 ^ (6 + id) + 1, 2 ^ (7 + id)
  local tag = string.char(65 + id)
  local blocks, sizes = {}, {}
  local ops, failures = 0, 0
  local expected = {
    ["memory: unknown or freed pointer"] = true,
    ["memory: cannot free an unknown or freed pointer"] = true,
    ["memory: cannot realloc an unknown or freed pointer"] = true,
    -- A cleaned-up address that came back as another worker's block: it may
    -- have another size, or be in that worker's hands right now.
    ["memory: range is out of bounds"] = true,
    ["memory: this block is being read or written right now"] = true,
  }
  local function check(ok, err)
    if ok then return true end
    local kind = tostring(err):gsub(" %(.*$", "")
    if not expected[kind] then error("unexpected error: " .. tostring(err)) end
    if failures == 0 then m.atomic_add_i32(ctl, 0, 1) end
    failures = failures + 1
    return false
  end
  local function drop(i) blocks[i] = blocks[#blocks]; blocks[#blocks] = nil end
  -- The given time, and on until some worker has met a cleaned-up block
  -- (within a bound): a cleaner that got little time on a busy machine is
  -- waited for.
  local deadline = host.clock() + seconds
  local give_up = deadline + T.PATIENCE
  math.randomseed(id * 7919)
  while host.clock() < deadline or m.atomic_i32(ctl, 0) == 0 and host.clock() < give_up do
    ops = ops + 1
    local r = math.random(6)
    local a = math.random(2) == 1 and fast or m
    if r == 1 or #blocks == 0 then
      local n = math.random(lo, hi)
      local p = m.alloc(n)
      sizes[p] = n
      blocks[#blocks + 1] = p
    else
      local i = math.random(#blocks)
      local p = blocks[i]
      local n = sizes[p]
      if r == 2 then
        if check(pcall(m.free, p)) or true then drop(i) end
      elseif r == 3 then
        local nn = math.random(lo, hi)
        local ok, q = pcall(m.realloc, p, nn)
        if check(ok, q) then blocks[i] = q; sizes[q] = nn else drop(i) end
      elseif r == 4 then
        if not check(pcall(a.write, p, 0, string.rep(tag, n))) then drop(i) end
      elseif r == 5 then
        if not check(pcall(a.fill, p, 0, n, 65 + id)) then drop(i) end
      else
        local ok, s = pcall(a.read, p, 0, n)
        if check(ok, s) then
          -- Fresh and resized bytes are unspecified; written ones are tags.
          if strict and s:find("[" .. tag .. "]") then
            for c in s:gmatch("[A-D]") do
              if c ~= tag then
                error(string.format("foreign byte %s in %s's block %s of %d bytes", c, tag, tostring(p), n))
              end
            end
          end
        else
          drop(i)
        end
      end
    end
    if #blocks > 64 then
      for _, p in ipairs(blocks) do pcall(m.free, p) end
      blocks = {}
    end
  end
  for _, p in ipairs(blocks) do pcall(m.free, p) end
  m.atomic_add_i32(ctl, 4, 1)
  return ops, failures
]]

-- Cleans up until every worker is done.
local CLEANER = [[
  local workers, ctl = ...
  local m = require("testlib").memory()
  local runs = 0
  while m.atomic_i32(ctl, 4) < workers do
    host.cleanup(); runs = runs + 1
    m.count_allocations()
    host.sleep(0.002)
  end
  return runs
]]

T.case("random block operations on " .. WORKERS .. " threads with clean-ups", function()
  local base = m.count_allocations()
  local ctl = m.shared(8)  -- [0] workers that met a cleaned-up block, [4] workers done
  local threads = {}
  for id = 0, WORKERS - 1 do threads[#threads + 1] = host.start(WORKER, id, SECONDS, STRICT, ctl) end
  local cleaner = host.start(CLEANER, WORKERS, ctl)
  local total, failures, results = 0, 0, {}
  for i, t in ipairs(threads) do results[i] = { t:join() } end
  -- The cleaner stops before any check can raise: a worker that failed
  -- never counted itself done.
  m.atomic_add_i32(ctl, 4, WORKERS)
  local ok, runs = cleaner:join()
  for _, r in ipairs(results) do
    T.eq(r[1], true, "worker: " .. tostring(r[2]))
    total, failures = total + r[2], failures + r[3]
  end
  T.eq(ok, true, "cleaner: " .. tostring(runs))
  print(string.format("  %d operations, %d refused after clean-ups, %d clean-ups", total, failures, runs))
  T.truthy(failures > 0, "some operations met a cleaned-up block")
  m.release(ctl)
  T.eq(m.count_allocations(), base, "allocations after the run")
end)

T.finish()
