-- Crypto benchmark: each row measures the module and its baseline in the
-- same run, back to back over several rounds, and prints the medians and the
-- median ratio (module / baseline; above 1 is faster).
--
--   cmake --build build/<preset> --target bench_crypto_run
local root = arg and arg[0] and arg[0]:match("^(.*)[/\\]bench[/\\]crypto[/\\][^/\\]*$") or "."
package.path = root .. "/tests/lua/?.lua;" .. package.path
local T = require("testlib")

local c = T.load("crypto", "luaopen_crypto")
local raw = T.load("bench_crypto", "luaopen_bench_crypto")
local clock = host.clock

local ROUNDS = tonumber(os.getenv("BENCH_ROUNDS") or "") or 15
local BUDGET = tonumber(os.getenv("BENCH_SECONDS") or "") or 0.1

-- Calls fn until `BUDGET` seconds have passed; returns calls per second.
local function rate(fn)
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

-- Runs f and g back to back in every round (in alternating order) and
-- returns the medians of their rates and of the per-round ratio f/g.  The
-- machine is shared: pairing each measurement with its neighbour cancels
-- most of the load that comes and goes.
local function compare(f, g)
  local rf, rg, ratio = {}, {}, {}
  for i = 1, ROUNDS do
    local a, b
    if i % 2 == 1 then
      a = rate(f); b = rate(g)
    else
      b = rate(g); a = rate(f)
    end
    rf[i], rg[i], ratio[i] = a, b, a / b
  end
  return median(rf), median(rg), median(ratio)
end

local MiB = 1024 * 1024
local big = c.random(MiB)
local small = c.random(64)
local key, n12, n24 = c.random(32), c.random(12), c.random(24)
local ed_sk, ed_pk = c.ed25519_keypair()
local ed_sig = c.ed25519_sign(ed_sk, small)
local x_sk = c.random(32)
local _, x_peer = c.x25519_keypair()

-- Both sides must compute the same thing.
assert(c.chacha20poly1305_encrypt(key, n12, nil, big) == raw.chacha20poly1305_encrypt(key, n12, nil, big))
assert(c.xchacha20poly1305_encrypt(key, n24, nil, big) == raw.xchacha20poly1305_encrypt(key, n24, nil, big))
assert(c.sha256(big) == raw.sha256(big) and c.sha512(big) == raw.sha512(big))
assert(c.blake2b(big) == raw.blake2b(big))
assert(c.ed25519_sign(ed_sk, small) == raw.ed25519_sign(ed_sk, small))
assert(c.x25519(x_sk, x_peer) == raw.x25519(x_sk, x_peer))

local rows = {}
local function row(name, unit, scale, goal, baseline_name, f, g)
  local a, b, ratio = compare(f, g)
  rows[#rows + 1] = { name, a * scale, b * scale, unit, baseline_name, ratio, goal }
  io.stderr:write(".")
end

local function throughput(name, goal, f, g)
  row(name .. " 1 MiB", "MiB/s", 1, goal, "libsodium", f, g)
end

throughput("chacha20poly1305_encrypt", 0.9,
  function() return c.chacha20poly1305_encrypt(key, n12, nil, big) end,
  function() return raw.chacha20poly1305_encrypt(key, n12, nil, big) end)
throughput("xchacha20poly1305_encrypt", 0.9,
  function() return c.xchacha20poly1305_encrypt(key, n24, nil, big) end,
  function() return raw.xchacha20poly1305_encrypt(key, n24, nil, big) end)
throughput("sha512", 0.9, function() return c.sha512(big) end, function() return raw.sha512(big) end)
throughput("blake2b", 0.9, function() return c.blake2b(big) end, function() return raw.blake2b(big) end)
throughput("sha256 (own)", 0.8, function() return c.sha256(big) end, function() return raw.sha256(big) end)

row("ed25519_sign (64 B)", "calls/s", 1, 0.9, "libsodium",
  function() return c.ed25519_sign(ed_sk, small) end,
  function() return raw.ed25519_sign(ed_sk, small) end)
row("ed25519_verify (64 B)", "calls/s", 1, 0.9, "libsodium",
  function() return c.ed25519_verify(ed_pk, small, ed_sig) end,
  function() return raw.ed25519_verify(ed_pk, small, ed_sig) end)
row("x25519", "calls/s", 1, 0.9, "libsodium",
  function() return c.x25519(x_sk, x_peer) end,
  function() return raw.x25519(x_sk, x_peer) end)

local empty = host.empty
row("sha256 (64 B)", "calls/s", 1, nil, "empty call",
  function() return c.sha256(small) end, function() return empty(small) end)
row("hmac_sha256 (64 B)", "calls/s", 1, nil, "empty call",
  function() return c.hmac_sha256(key, small) end, function() return empty(key, small) end)
io.stderr:write("\n")

local function fmt(v, unit)
  if unit == "MiB/s" then return string.format("%.0f MiB/s", v) end
  if v >= 1e6 then return string.format("%.2f M/s", v / 1e6) end
  return string.format("%.0f /s", v)
end

print(string.format("crypto benchmark on %s, %s, medians of %d paired rounds of %.2f s", host.platform,
                    c._BACKEND, ROUNDS, BUDGET))
print()
print("| operation | crypto | baseline | baseline is | ratio | goal |")
print("|---|---:|---:|---|---:|---|")
for _, r in ipairs(rows) do
  local goal = r[7] and string.format("≥ %.1f× %s", r[7], r[6] >= r[7] and "met" or "MISSED") or ""
  print(string.format("| %s | %s | %s | %s | %.2f× | %s |", r[1], fmt(r[2], r[4]), fmt(r[3], r[4]),
                      r[5], r[6], goal))
end
