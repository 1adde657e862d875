-- The library outlives the Lua states that loaded it once it has handed the
-- host its clean-up callbacks: the host may call them after the last such
-- state closed, and a state that loads the library later finds the same
-- blocks and queues.  This main state never loads the library itself.
local T = require("testlib")

local function run(code, ...)
  local r = { host.run("local T = require('testlib'); local m, Q = T.memory(), T.queue()\n" .. code, ...) }
  if not r[1] then error("thread failed: " .. tostring(r[2]), 2) end
  return unpack(r, 2)
end

T.case("callbacks and registries survive the close of the only state that loaded the library", function()
  local base = host.callbacks()
  local p, q, plain = run("local q = Q.shared(); Q.push(q, 'kept'); return m.shared(16), q, m.alloc(8)")
  T.eq(host.callbacks(), base + 2, "callbacks registered")
  T.eq(host.cleanup(), base + 2, "callbacks run")  -- would jump into an unloaded library
  local size, text, freed = run([[
    local p, q, plain = ...
    local freed = not pcall(m.size, plain)
    local size, text = m.size(p), Q.pop(q)
    m.release(p); Q.release(q)
    return size, text, freed
  ]], p, q, plain)
  T.eq(size, 16, "size of the shared block")
  T.eq(text, "kept", "string of the shared queue")
  T.truthy(freed, "the clean-up freed the plain block")
  T.eq(host.callbacks(), base + 2, "a second load registers nothing more")
  T.eq(run("return m.count_allocations()"), 0)
end)

T.finish()
