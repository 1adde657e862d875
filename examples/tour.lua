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

-- 2. crypto: two parties agree on a key with X25519, derive a session key
--    with HKDF, seal messages with XChaCha20-Poly1305 and sign them with
--    Ed25519; a forged message is refused.
do
  local c = T.load("crypto", "luaopen_crypto")
  local hex = function(s) return (s:gsub(".", function(ch) return string.format("%02x", ch:byte()) end)) end
  local a_sec, a_pub = c.x25519_keypair()
  local b_sec, b_pub = c.x25519_keypair()
  local shared_a = assert(c.x25519(a_sec, b_pub))
  local shared_b = assert(c.x25519(b_sec, a_pub))
  assert(c.equal(shared_a, shared_b))
  local key = c.hkdf_sha256(shared_a, nil, "tour session", 32)
  local sign_sec, sign_pub = c.ed25519_keypair()
  local t0, n, bytes = host.clock(), 0, 0
  while host.clock() - t0 < 0.5 do
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
