-- Crypto benchmark: each row measures the module and its baselines in the
-- same run, back to back over several rounds, and prints the medians and the
-- median ratio (module / baseline; above 1 is faster).
--
--   scripts/bench-report crypto
--
-- Tables: every operation at 64 B and 1 MiB against the faster of direct
-- libsodium and direct libcrypto calls; the own SHA-256 against its portable
-- compression (the crypto_fallback test build); Lua number code and the own
-- SHA-256 after one AEAD call of each kind; the streaming hashes and MACs
-- against the one-shot functions; the AEAD crossover between the two
-- libraries; where Debian's lua-luaossl is installed, the module against that
-- binding; and, where LUAMODS_BASELINE_BIN names the bin folder of another
-- build, the one-shot hashes, MACs and sealing of this build against that
-- one's crypto library.
--
-- libcrypto's vector code may leave the upper vector state set, which slows
-- every legacy-SSE instruction after it (the module clears it before its
-- calls return; the direct libcrypto baselines do not): every measurement
-- starts from a cleared state.
local root = arg and arg[0] and arg[0]:match("^(.*)[/\\]bench[/\\]crypto[/\\][^/\\]*$") or "."
package.path = root .. "/tests/lua/?.lua;" .. package.path
local T = require("testlib")

local c = T.load("crypto", "luaopen_crypto")
local portable = T.load("crypto_fallback", "luaopen_crypto")
local sodium, openssl, tools = T.load("bench_crypto", "luaopen_bench_crypto")
-- CPU time where the C runtime measures it (glibc): steadier than wall time
-- on a machine that others load; the Windows runtime's clock() is wall time.
local clock = host.platform == "windows" and host.clock or os.clock
local clear_vector_state = tools.clear_vector_state

local ROUNDS = tonumber(os.getenv("BENCH_ROUNDS") or "") or 11
local BUDGET = tonumber(os.getenv("BENCH_SECONDS") or "") or 0.06

-- Calls fn until `BUDGET` seconds have passed; returns calls per second.
local function rate(fn)
  clear_vector_state()
  local n, batch, t0 = 0, 1, clock()
  while true do
    for _ = 1, batch do fn() end
    n = n + batch
    local dt = clock() - t0
    if dt >= BUDGET then return n / dt end
    if batch < 4096 then batch = batch * 2 end
  end
end

local function median(t)
  table.sort(t)
  local n = #t
  return n % 2 == 1 and t[(n + 1) / 2] or (t[n / 2] + t[n / 2 + 1]) / 2
end

-- Runs the functions back to back in every round, in a rotating order, and
-- returns the median rate of each and the median per-round ratio of the
-- first to the fastest of the others.  The machine is shared: pairing each
-- measurement with its neighbours cancels most of the load that comes and goes.
local function compare(f, ...)
  local others = { ... }
  local fns = { f, ... }
  local rates, ratio = {}, {}
  for k = 1, #fns do rates[k] = {} end
  for i = 1, ROUNDS do
    local got = {}
    for j = 0, #fns - 1 do
      local k = (i + j - 1) % #fns + 1
      got[k] = rate(fns[k])
    end
    local best = 0
    for k = 2, #fns do best = math.max(best, got[k]) end
    for k = 1, #fns do rates[k][i] = got[k] end
    ratio[i] = got[1] / best
  end
  local medians = {}
  for k = 1, #fns do medians[k] = median(rates[k]) end
  assert(#others >= 1)
  return medians, median(ratio)
end

local MiB = 1024 * 1024
local sizes = { { "64 B", c.random(64) }, { "1 MiB", c.random(MiB) } }
local key, n12, n24 = c.random(32), c.random(12), c.random(24)
local ed_sk, ed_pk = c.ed25519_keypair()
local x_sk = c.random(32)
local _, x_peer = c.x25519_keypair()

local function fmt(v, bytes)
  if bytes and bytes >= 65536 then return string.format("%.0f MiB/s", v * bytes / MiB) end
  if v >= 1e6 then return string.format("%.2f M/s", v / 1e6) end
  return string.format("%.0f /s", v)
end

local function goal_text(ratio, goal, cmp)
  if not goal then return "" end
  local met = ratio >= goal
  return string.format("%s %.1f× %s", cmp or "≥", goal, met and "met" or "MISSED")
end

local function at_least(ratio, goal)
  return string.format("≥ %.2f× %s", goal, ratio >= goal and "met" or "MISSED")
end

local function header(title, ...)
  print()
  print(title)
  print()
  local cols = { ... }
  print("| " .. table.concat(cols, " | ") .. " |")
  local rule = {}
  for i = 1, #cols do rule[i] = i == 1 and "---" or "---:" end
  print("|" .. table.concat(rule, "|") .. "|")
end

local function progress() io.stderr:write(".") end

print(string.format("crypto benchmark on %s, %s, medians of %d rounds of %.2f s per function",
                    host.platform, c._BACKEND, ROUNDS, BUDGET))

-- Every operation, both message sizes, against the faster library.  Each
-- entry: name, and a maker that returns the call for a message (nil: the
-- operation does not take one) for the module, libsodium and libcrypto.
local function aead(name, nonce)
  local enc, dec = name .. "_encrypt", name .. "_decrypt"
  return {
    { enc, function(m) return function(lib) return function() return lib[enc](key, nonce, nil, m) end end end },
    { dec, function(m)
        local sealed = c[enc](key, nonce, nil, m)
        return function(lib) return function() return lib[dec](key, nonce, nil, sealed) end end
      end },
  }
end
local ops = {}
for _, list in ipairs({ aead("chacha20poly1305", n12), aead("xchacha20poly1305", n24) }) do
  for _, op in ipairs(list) do ops[#ops + 1] = op end
end
for _, name in ipairs({ "sha256", "sha512", "blake2b" }) do
  ops[#ops + 1] = { name, function(m) return function(lib) return function() return lib[name](m) end end end }
end
for _, name in ipairs({ "hmac_sha256", "hmac_sha512" }) do
  ops[#ops + 1] = { name, function(m) return function(lib) return function() return lib[name](key, m) end end end }
end
ops[#ops + 1] = { "ed25519_sign", function(m) return function(lib) return function() return lib.ed25519_sign(ed_sk, m) end end end }
ops[#ops + 1] = { "ed25519_verify", function(m)
    local sig = c.ed25519_sign(ed_sk, m)
    return function(lib) return function() return lib.ed25519_verify(ed_pk, m, sig) end end
  end }

header("### Against the faster of direct libsodium and direct libcrypto calls",
       "operation", "crypto", "libsodium", "libcrypto", "ratio to the faster", "goal")
local function compare_row(label, bytes, make)
  local mine, so, os_ = make(c), make(sodium), make(openssl)
  -- All must compute the same thing; a libcrypto without the algorithm
  -- (nil) drops out.
  assert(mine() == so(), label .. ": the results differ")
  local has_os = os_() ~= nil
  assert(not has_os or mine() == os_(), label .. ": the results differ")
  local r, ratio
  if has_os then r, ratio = compare(mine, so, os_) else r, ratio = compare(mine, so) end
  print(string.format("| %s | %s | %s | %s | %.2f× | %s |", label, fmt(r[1], bytes), fmt(r[2], bytes),
                      has_os and fmt(r[3], bytes) or "not built", ratio, goal_text(ratio, 0.9)))
  progress()
end
for _, op in ipairs(ops) do
  for _, s in ipairs(sizes) do
    compare_row(op[1] .. " " .. s[1], #s[2], op[2](s[2]))
  end
end
compare_row("x25519", nil, function(lib) return function() return lib.x25519(x_sk, x_peer) end end)

header("### The own SHA-256 against its portable compression (crypto_fallback)",
       "operation", "crypto", "portable", "ratio", "goal")
for _, name in ipairs({ "sha256", "hmac_sha256" }) do
  local m = sizes[2][2]
  local f = name == "sha256" and function() return c.sha256(m) end or function() return c.hmac_sha256(key, m) end
  local g = name == "sha256" and function() return portable.sha256(m) end
                             or function() return portable.hmac_sha256(key, m) end
  assert(f() == g())
  local r, ratio = compare(f, g)
  print(string.format("| %s 1 MiB | %s | %s | %.2f× | %s |", name, fmt(r[1], MiB), fmt(r[2], MiB), ratio,
                      goal_text(ratio, 3)))
  progress()
end

-- Lua number code and the own SHA-256 (legacy-SSE code both) timed from a
-- cleared vector state, then again after one AEAD call: the ratio is after /
-- before (1 = unaffected).  Neither changes the vector state, so each side is
-- the best of three runs, which keeps out most of what other work on the
-- machine adds.  The last row is a direct libcrypto call, which leaves the
-- state as libcrypto does: it shows what the measurement catches on this
-- machine.
do
  local function number_loop()
    local x = 0.5
    for i = 1, 2000000 do x = x * 0.9999999 + i * 1e-9 end
    return x
  end
  local mib = sizes[2][2]
  local function sha256_run()
    for _ = 1, 2 do c.sha256(mib) end
  end
  local function seconds(f)
    local best = math.huge
    for _ = 1, 3 do
      local t0 = clock()
      f()
      best = math.min(best, clock() - t0)
    end
    return best
  end
  number_loop()
  sha256_run()
  header("### Lua number code and the own SHA-256 after one AEAD call (time after / before)",
         "call", "number loop", "SHA-256 1 MiB", "goal")
  local small = c.random(512)
  local rows = {}
  for _, name in ipairs({ "chacha20poly1305", "xchacha20poly1305" }) do
    local nonce = name == "chacha20poly1305" and n12 or n24
    for _, m in ipairs({ { "512 B (libsodium)", small }, { "1 MiB (libcrypto)", mib } }) do
      local sealed = c[name .. "_encrypt"](key, nonce, nil, m[2])
      rows[#rows + 1] = { name .. "_encrypt " .. m[1],
                          function() return c[name .. "_encrypt"](key, nonce, nil, m[2]) end }
      rows[#rows + 1] = { name .. "_decrypt " .. m[1],
                          function() return c[name .. "_decrypt"](key, nonce, nil, sealed) end }
    end
  end
  rows[#rows + 1] = { "direct libcrypto ChaCha20-Poly1305 seal 1 MiB (no clean-up)",
                      function() return openssl.chacha20poly1305_encrypt(key, n12, nil, mib) end,
                      true }
  for _, row in ipairs(rows) do
    local loop_ratio, sha_ratio = {}, {}
    for i = 1, ROUNDS do
      clear_vector_state()
      local before = seconds(number_loop)
      row[2]()
      loop_ratio[i] = seconds(number_loop) / before
      clear_vector_state()
      before = seconds(sha256_run)
      row[2]()
      sha_ratio[i] = seconds(sha256_run) / before
    end
    local lr, sr = median(loop_ratio), median(sha_ratio)
    local goal = row[3] and "(comparison)" or
                 string.format("≤ 1.05× %s", lr <= 1.05 and sr <= 1.05 and "met" or "MISSED")
    print(string.format("| %s | %.2f× | %.2f× | %s |", row[1], lr, sr, goal))
    progress()
  end
  clear_vector_state()
end

-- The streaming hashes and MACs against their one-shot functions over the
-- same bytes: 1 MiB in 64 KiB pieces (throughput, stream / one-shot), and
-- 64 bytes through a fresh state's update and final (time, stream /
-- one-shot), once with the making of the state timed and once with states
-- made beforehand.
do
  local forms = {
    { "sha256", function() return c.sha256_init() end, function(m) return c.sha256(m) end },
    { "sha512", function() return c.sha512_init() end, function(m) return c.sha512(m) end },
    { "blake2b", function() return c.blake2b_init() end, function(m) return c.blake2b(m) end },
    { "blake2b_keyed", function() return c.blake2b_keyed_init(key) end,
      function(m) return c.blake2b_keyed(key, m) end },
    { "hmac_sha256", function() return c.hmac_sha256_init(key) end,
      function(m) return c.hmac_sha256(key, m) end },
    { "hmac_sha512", function() return c.hmac_sha512_init(key) end,
      function(m) return c.hmac_sha512(key, m) end },
  }
  local mib, short = sizes[2][2], sizes[1][2]
  local pieces = {}
  for i = 1, MiB, 65536 do pieces[#pieces + 1] = mib:sub(i, i + 65535) end
  header("### Streaming hashes and MACs against the one-shot functions",
         "operation", "stream", "one-shot", "stream / one-shot", "goal")
  for _, f in ipairs(forms) do
    local name, init, one_shot = f[1], f[2], f[3]
    local function stream_mib()
      local s = init()
      for i = 1, #pieces do s:update(pieces[i]) end
      return s:final()
    end
    local function stream_short() return init():update(short):final() end
    assert(stream_mib() == one_shot(mib) and stream_short() == one_shot(short), name)
    local r, ratio = compare(stream_mib, function() return one_shot(mib) end)
    print(string.format("| %s 1 MiB in 64 KiB pieces | %s | %s | %.2f× throughput | %s |", name,
                        fmt(r[1], MiB), fmt(r[2], MiB), ratio, at_least(ratio, 0.95)))
    progress()
    r, ratio = compare(stream_short, function() return one_shot(short) end)
    local time_ratio = 1 / ratio
    print(string.format("| %s 64 B, fresh state: init + update + final | %s | %s | %.2f× time | ≤ 1.5× %s |",
                        name, fmt(r[1]), fmt(r[2]), time_ratio, time_ratio <= 1.5 and "met" or "MISSED"))
    progress()
    -- Each round makes its states first, untimed, then times update + final
    -- on each and as many one-shot calls, in alternating order.
    local states, ratios, stream_rate, one_rate = {}, {}, {}, {}
    local count = 4096
    for i = 1, ROUNDS do
      for k = 1, count do states[k] = init() end
      clear_vector_state()
      local function stream_part()
        local t0 = clock()
        for k = 1, count do states[k]:update(short):final() end
        return clock() - t0
      end
      local function one_part()
        local t0 = clock()
        for _ = 1, count do one_shot(short) end
        return clock() - t0
      end
      local ts, to
      if i % 2 == 0 then ts = stream_part(); to = one_part() else to = one_part(); ts = stream_part() end
      ratios[i], stream_rate[i], one_rate[i] = ts / to, count / ts, count / to
    end
    time_ratio = median(ratios)
    print(string.format("| %s 64 B, state made before: update + final | %s | %s | %.2f× time | ≤ 1.5× %s |",
                        name, fmt(median(stream_rate)), fmt(median(one_rate)), time_ratio,
                        time_ratio <= 1.5 and "met" or "MISSED"))
    progress()
  end
end

-- The one-shot hashes, MACs and sealing of this build against another
-- build's crypto library (LUAMODS_BASELINE_BIN: its bin folder), in the same
-- process.
local baseline_bin = os.getenv("LUAMODS_BASELINE_BIN")
if baseline_bin and baseline_bin ~= "" then
  local suffix = os.getenv("LUAMODS_SUFFIX") or (host.platform == "windows" and ".dll" or ".so")
  local function load_old(file)
    local open = assert(package.loadlib(baseline_bin .. "/" .. file .. suffix, "luaopen_crypto"))
    return open()
  end
  -- Loaded under a file name of its own: Windows hands back a module already
  -- loaded under the same base name, whatever its folder, so "crypto" there
  -- would be this build's library again.
  local i = assert(io.open(baseline_bin .. "/crypto" .. suffix, "rb"))
  local data = i:read("*a")
  i:close()
  local o = assert(io.open(baseline_bin .. "/crypto_base" .. suffix, "wb"))
  o:write(data)
  o:close()
  local old = load_old("crypto_base")
  header("### One-shot hashes, MACs and sealing: this build against " .. baseline_bin,
         "operation", "this build", "baseline", "ratio", "goal")
  local calls = {
    { "sha256", function(lib, m) return lib.sha256(m) end },
    { "sha512", function(lib, m) return lib.sha512(m) end },
    { "blake2b", function(lib, m) return lib.blake2b(m) end },
    { "blake2b_keyed", function(lib, m) return lib.blake2b_keyed(key, m) end },
    { "hmac_sha256", function(lib, m) return lib.hmac_sha256(key, m) end },
    { "hmac_sha512", function(lib, m) return lib.hmac_sha512(key, m) end },
    { "hkdf_sha256 (64 B out)", function(lib, m) return lib.hkdf_sha256(m, nil, nil, 64) end },
    { "hkdf_sha512 (64 B out)", function(lib, m) return lib.hkdf_sha512(m, nil, nil, 64) end },
    { "chacha20poly1305_encrypt", function(lib, m) return lib.chacha20poly1305_encrypt(key, n12, nil, m) end },
    { "xchacha20poly1305_encrypt", function(lib, m) return lib.xchacha20poly1305_encrypt(key, n24, nil, m) end },
  }
  for _, call in ipairs(calls) do
    for _, s in ipairs(sizes) do
      local m, f = s[2], call[2]
      assert(f(c, m) == f(old, m), call[1] .. ": the builds differ")
      local r, ratio = compare(function() return f(c, m) end, function() return f(old, m) end)
      print(string.format("| %s %s | %s | %s | %.2f× | %s |", call[1], s[1], fmt(r[1], #m),
                          fmt(r[2], #m), ratio, at_least(ratio, 0.95)))
      progress()
    end
  end
end

-- Where libcrypto's ChaCha20-Poly1305 overtakes libsodium's: the module hands
-- messages from its crossover size on to libcrypto (modules/Crypto/backends.cpp).
header("### ChaCha20-Poly1305 seal: direct libcrypto against direct libsodium, by message size",
       "message", "libcrypto", "libsodium", "libcrypto / libsodium")
for _, n in ipairs({ 256, 512, 768, 1024, 1536, 2048, 3072, 4096, 16384 }) do
  local m = c.random(n)
  local r, ratio = compare(function() return openssl.chacha20poly1305_encrypt(key, n12, nil, m) end,
                           function() return sodium.chacha20poly1305_encrypt(key, n12, nil, m) end)
  print(string.format("| %d B | %s | %s | %.2f× |", n, fmt(r[1]), fmt(r[2]), ratio))
  progress()
end

-- The OpenSSL binding most Lua users reach for today, where it is installed
-- (scripts/bench-report installs Debian's lua-luaossl natively for this).
local has_luaossl, ossl = pcall(function()
  return { cipher = require("openssl.cipher"), digest = require("openssl.digest"),
           hmac = require("openssl.hmac"), kdf = require("openssl.kdf") }
end)
if has_luaossl then
  local function seal(m)
    local ctx = ossl.cipher.new("chacha20-poly1305")
    ctx:encrypt(key, n12)
    local ct = (ctx:update(m) or "") .. (ctx:final() or "")
    return ct .. ctx:getTag(16)
  end
  local function open(sealed)
    local ctx = ossl.cipher.new("chacha20-poly1305")
    ctx:decrypt(key, n12)
    ctx:setTag(sealed:sub(-16))
    return (ctx:update(sealed:sub(1, -17)) or "") .. (ctx:final() or "")
  end
  local function hkdf(md, ikm, len)
    return ossl.kdf.derive({ type = "HKDF", md = md, key = ikm, salt = "", info = "", outlen = len })
  end
  local rows = {
    { "chacha20poly1305_encrypt", function(m) return function() return c.chacha20poly1305_encrypt(key, n12, nil, m) end end,
      function(m) return function() return seal(m) end end },
    { "chacha20poly1305_decrypt", function(m)
        local sealed = c.chacha20poly1305_encrypt(key, n12, nil, m)
        return function() return c.chacha20poly1305_decrypt(key, n12, nil, sealed) end
      end,
      function(m)
        local sealed = c.chacha20poly1305_encrypt(key, n12, nil, m)
        return function() return open(sealed) end
      end },
    { "sha256", function(m) return function() return c.sha256(m) end end,
      function(m) return function() return ossl.digest.new("sha256"):final(m) end end },
    { "sha512", function(m) return function() return c.sha512(m) end end,
      function(m) return function() return ossl.digest.new("sha512"):final(m) end end },
    { "blake2b", function(m) return function() return c.blake2b(m) end end,
      function(m) return function() return ossl.digest.new("blake2b512"):final(m) end end },
    { "hmac_sha256", function(m) return function() return c.hmac_sha256(key, m) end end,
      function(m) return function() return ossl.hmac.new(key, "sha256"):final(m) end end },
    { "hmac_sha512", function(m) return function() return c.hmac_sha512(key, m) end end,
      function(m) return function() return ossl.hmac.new(key, "sha512"):final(m) end end },
    { "hkdf_sha256 (64 B out)", function(m) return function() return c.hkdf_sha256(m, nil, nil, 64) end end,
      function(m) return function() return hkdf("sha256", m, 64) end end },
    { "hkdf_sha512 (64 B out)", function(m) return function() return c.hkdf_sha512(m, nil, nil, 64) end end,
      function(m) return function() return hkdf("sha512", m, 64) end end },
  }
  header("### Against lua-luaossl (Debian's OpenSSL binding), every operation it offers",
         "operation", "crypto", "luaossl", "ratio", "goal")
  for _, row in ipairs(rows) do
    for _, s in ipairs(sizes) do
      local f, g = row[2](s[2]), row[3](s[2])
      assert(f() == g(), row[1] .. ": luaossl computes something else")
      local r, ratio = compare(f, g)
      print(string.format("| %s %s | %s | %s | %.2f× | %s |", row[1], s[1], fmt(r[1], #s[2]), fmt(r[2], #s[2]),
                          ratio, ratio > 1 and "> 1× met" or "> 1× MISSED"))
      progress()
    end
  end
else
  print()
  print("(lua-luaossl is not installed here: no comparison with it.)")
end
io.stderr:write("\n")
