-- The tour: the modules doing real work together.  Run by scripts/demo with
-- the plain luajit interpreter on the native build and luajit.exe under Wine
-- on the Windows build, with the build's bin/ on LUA_CPATH and the tree's lua/
-- (the loaders of memory, memory.queue and win32) on LUA_PATH.  Every module,
-- in this state and in the worker states, is loaded with require: a new state
-- gets the package.path and package.cpath of the state that starts it.
local threads = require("threads")   -- first: it brings the host record memory registers with
local m = require("memory")
local windows = jit.os == "Windows"

local function say(fmt, ...) io.write(string.format(fmt, ...), "\n") io.flush() end

say("luamods tour on %s (%d hardware threads)", windows and "windows" or "linux", threads.cores())

-- 1. memory: several Lua states on threads fill slices of one block; the main
--    state reads the result.  Only the address crosses between the states.
do
  local WORKERS, PER = 4, 250000
  local results = m.alloc(WORKERS * 8)
  m.fill(results, 0, WORKERS * 8, 0)
  local COUNT_PRIMES = [[
    local block, slot, from, to = ...
    local m = require("memory")
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
  local t0 = threads.clock()
  local workers = {}
  for i = 0, WORKERS - 1 do
    workers[#workers + 1] = threads.start(COUNT_PRIMES, results, i, i * PER + 1, (i + 1) * PER)
  end
  for _, t in ipairs(workers) do assert(t:join()) end
  local total = 0
  for i = 0, WORKERS - 1 do
    local n = tonumber(m.read(results, i * 8, 8))
    say("  worker %d: %6d primes in (%d, %d]", i, n, i * PER, (i + 1) * PER)
    total = total + n
  end
  say("memory: %d states counted %d primes below %d into one block in %.2f s",
      WORKERS, total, WORKERS * PER, threads.clock() - t0)
  say("memory: %d bytes held before free, %d after", m.count_allocations(),
      (m.free(results) or m.count_allocations()))
end

-- 2. crypto: two parties agree on a key with X25519, derive a session key
--    with HKDF, seal messages with XChaCha20-Poly1305 and sign them with
--    Ed25519; a forged message is refused.
do
  local c = require("crypto")
  local hex = function(s) return (s:gsub(".", function(ch) return string.format("%02x", ch:byte()) end)) end
  local a_sec, a_pub = c.x25519_keypair()
  local b_sec, b_pub = c.x25519_keypair()
  local shared_a = assert(c.x25519(a_sec, b_pub))
  local shared_b = assert(c.x25519(b_sec, a_pub))
  assert(c.equal(shared_a, shared_b))
  local key = c.hkdf_sha256(shared_a, nil, "tour session", 32)
  local sign_sec, sign_pub = c.ed25519_keypair()
  local t0, n, bytes = threads.clock(), 0, 0
  while threads.clock() - t0 < 0.5 do
    n = n + 1
    local msg = string.format("message %d: %s", n, string.rep("x", n % 200))
    local nonce = c.random(24)
    local sealed = c.xchacha20poly1305_encrypt(key, nonce, "tour", msg)
    local sig = c.ed25519_sign(sign_sec, sealed)
    assert(c.ed25519_verify(sign_pub, sealed, sig))
    assert(c.xchacha20poly1305_decrypt(key, nonce, "tour", sealed) == msg)
    bytes = bytes + #msg
  end
  local sealed = c.xchacha20poly1305_encrypt(key, string.rep("\0", 24), nil, "pay 10")
  local forged = sealed:sub(1, 4) .. string.char(bit.bxor(sealed:byte(5), 1)) .. sealed:sub(6)
  local plain, why = c.xchacha20poly1305_decrypt(key, string.rep("\0", 24), nil, forged)
  say("crypto (%s): X25519 agreement %s..., %d messages (%d bytes) sealed, signed, verified and opened in 0.5 s",
      c._BACKEND, hex(shared_a):sub(1, 16), n, bytes)
  say("crypto: a forged message opens as %s (%s); its signature verifies: %s",
      tostring(plain), tostring(why), tostring(c.ed25519_verify(sign_pub, forged, c.ed25519_sign(sign_sec, sealed))))
end

-- 3. memory.queue and sequence locks: worker states take work items from a
--    shared queue, hash them, return results through a second queue and each
--    publish their progress in a sequence-locked record of a shared block,
--    which the main state polls without locks.
do
  local q = require("memory.queue")
  local ITEMS, ROUNDS, WORKERS, RECORD = 1500, 5000, 3, 64
  local jobs, results = q.shared(), q.shared()
  local progress = m.shared(WORKERS * RECORD)
  local WORKER = [[
    local id, jobs, results, progress, rounds, record = ...
    local m, q, c = require("memory"), require("memory.queue"), require("crypto")
    local sleep = require("threads").sleep
    q.retain(jobs); q.retain(results); m.retain(progress)
    local done = 0
    while true do
      local item = q.pop(jobs)
      if item == "" then break end
      if item then
        local h = item
        for _ = 1, rounds do h = c.sha256(h) end
        q.push(results, item .. "=" .. h:sub(1, 4))
        done = done + 1
        -- A busy result only means a reader is copying: try again next item.
        m.seq_write(progress, id * record, id * record + 8, string.format("%d items", done), record - 8)
      else
        sleep(0.0005)
      end
    end
    q.release(jobs); q.release(results); m.release(progress)
    return done
  ]]
  local t0 = threads.clock()
  local workers = {}
  for id = 0, WORKERS - 1 do
    workers[#workers + 1] = threads.start(WORKER, id, jobs, results, progress, ROUNDS, RECORD)
  end
  for i = 1, ITEMS do q.push(jobs, "work item " .. i) end
  local received, next_report = 0, t0 + 1
  while received < ITEMS do
    local r = q.pop(results)
    if r then received = received + 1 else threads.sleep(0.001) end
    if threads.clock() >= next_report then
      local parts = {}
      for id = 0, WORKERS - 1 do
        local rec = m.seq_read(progress, id * RECORD, id * RECORD + 8, RECORD - 8)
        parts[#parts + 1] = rec and rec:gsub("%z+$", "") or "busy"
      end
      say("  progress after %.1f s: %d/%d results; workers report %s",
          threads.clock() - t0, received, ITEMS, table.concat(parts, ", "))
      next_report = next_report + 1
    end
  end
  for _ = 1, WORKERS do q.push(jobs, "") end
  local per = {}
  for i, t in ipairs(workers) do local ok, n = t:join(); assert(ok, n); per[i] = n end
  say("queue: %d items through %d worker states in %.2f s (%s each), %d SHA-256 calls",
      ITEMS, WORKERS, threads.clock() - t0, table.concat(per, "/"), ITEMS * ROUNDS)
  q.release(jobs); q.release(results); m.release(progress)
  say("queue: %d bytes of blocks held after release", m.count_allocations())
end

-- 4. win32 (Windows only): child processes inside a kill-on-close job, their
--    output read through pipes without ever blocking; closing the job ends a
--    child that would otherwise wait for input forever.
if windows then
  local w = require("win32")
  local job = assert(w.job_create({ kill_on_close = true }))
  local children = {}
  for i = 1, 3 do
    children[i] = assert(w.spawn({ command_line = "cmd /c echo child " .. i .. " says hello",
      stdout = "pipe", stderr = "stdout", no_window = true, jobs = { job } }))
  end
  local stuck = assert(w.spawn({ command_line = "cmd /c set /p x=", stdin = "pipe",
    stdout = "null", no_window = true, jobs = { job } }))
  local open, polls, text = #children, 0, {}
  while open > 0 do
    polls = polls + 1
    for i, ch in ipairs(children) do
      if ch.stdout then
        local data, code = w.read(ch.stdout)
        if data == nil then
          assert(code == 109, "pipe failure " .. tostring(code))
          w.close(ch.stdout); ch.stdout = nil; open = open - 1
        elseif data ~= "" then
          text[i] = (text[i] or "") .. data
        end
      end
    end
    if open > 0 then threads.sleep(0.005) end
  end
  for i, ch in ipairs(children) do
    assert(w.wait(ch.process, 5000) == true)
    say("  child %d (pid %d) exited with %s: %s", i, ch.pid, tostring(w.exit_code(ch.process)),
        (text[i] or ""):gsub("%s+$", ""))
    w.close(ch.process)
  end
  say("win32: %d children read in %d non-blocking polls; the job holds %d processes",
      #children, polls, w.job_active_count(job))
  w.close(job)
  say("win32: job closed; the child waiting for input ended: %s (exit code %s)",
      tostring(w.wait(stuck.process, 5000)), tostring(w.exit_code(stuck.process)))
  w.close(stuck.stdin); w.close(stuck.process)
end
say("tour done")
