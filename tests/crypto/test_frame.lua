-- The module table, random, equal, argument errors, generator failures, and
-- the module used from several threads at once.
local T = require("testlib")
local c = T.load("crypto", "luaopen_crypto")

T.case("the table holds the 27 functions and the two fields", function()
  local names = { "random", "x25519_keypair", "x25519_public_key", "x25519", "ed25519_keypair",
    "ed25519_public_key", "ed25519_sign", "ed25519_verify", "chacha20poly1305_encrypt",
    "chacha20poly1305_decrypt", "xchacha20poly1305_encrypt", "xchacha20poly1305_decrypt",
    "sha256", "sha512", "hmac_sha256", "hmac_sha512", "hkdf_sha256", "hkdf_sha512", "blake2b",
    "blake2b_keyed", "equal", "sha256_init", "sha512_init", "hmac_sha256_init", "hmac_sha512_init",
    "blake2b_init", "blake2b_keyed_init" }
  local count = 0
  for k, v in pairs(c) do
    count = count + 1
    if k:sub(1, 1) ~= "_" then T.eq(type(v), "function", k) end
  end
  T.eq(count, 29, "entries")
  for _, name in ipairs(names) do T.eq(type(c[name]), "function", name) end
  T.eq(c._VERSION, assert(os.getenv("LUAMODS_VERSION")), "the project version")
  T.truthy(c._BACKEND:match("^libsodium%-%d+%.%d+%.%d+%+openssl%-%d+%.%d+%.%d+$"), "_BACKEND " .. c._BACKEND)
  T.eq(getmetatable(c), nil, "metatable")
  -- Each open builds a new table.
  T.truthy(T.load("crypto", "luaopen_crypto") ~= c, "a new table per open")
end)

T.case("random: sizes 0 to 64 MiB, and the range message", function()
  T.eq(c.random(0), "")
  for _, n in ipairs({ 1, 255, 256, 257, 4096, 67108864 }) do T.eq(#c.random(n), n, "size " .. n) end
  T.truthy(c.random(32) ~= c.random(32), "two draws differ")
  -- Every byte value shows up in 64 KiB (one heap buffer); a generator that
  -- left parts of the buffer unwritten would fail this.
  local seen, s = {}, c.random(65536)
  for i = 1, #s do seen[s:byte(i)] = true end
  for v = 0, 255 do T.truthy(seen[v], "byte value " .. v) end
  T.raises("random: size out of range", c.random, 67108865)
  -- NaN, the infinities and numbers past 64 bits are out of range too;
  -- fractions are cut.
  for _, n in ipairs({ -1, 0 / 0, math.huge, -math.huge, 2 ^ 70, -2 ^ 70 }) do
    T.raises("random: size out of range", c.random, n)
  end
  T.eq(#c.random(3.9), 3)
  T.raises(T.argerror(1, "?", "number expected, got no value"), c.random)
end)

T.case("equal: lengths first, then every byte; numbers as strings", function()
  T.eq(c.equal("", ""), true)
  T.eq(c.equal("abc", "abc"), true)
  T.eq(c.equal("abc", "abd"), false)
  T.eq(c.equal("xbc", "abc"), false)
  T.eq(c.equal("abc", "abcd"), false)
  T.eq(c.equal("a\0b", "a\0c"), false)
  T.eq(c.equal(1, "1"), true)
  T.raises(T.argerror(2, "?", "string expected, got table"), c.equal, "a", {})
end)

T.case("argument errors are the host's; raised messages carry the caller's position", function()
  T.raises(T.argerror(1, "?", "string expected, got no value"), c.sha256)
  T.raises(T.argerror(2, "?", "string expected, got nil"), c.hmac_sha256, "k", nil)
  T.raises(T.argerror(3, "?", "string expected, got boolean"), c.chacha20poly1305_encrypt,
           string.rep("k", 32), string.rep("n", 12), true, "p")
  T.raises(T.argerror(4, "?", "number expected, got no value"), c.hkdf_sha256, "ikm", nil, nil)
  local ok, err = pcall(function()
    local r = c.random(-1)
    return r
  end)
  T.eq(ok, false)
  T.truthy(err:match("^.-test_frame%.lua:%d+: random: size out of range$"), err)
end)

T.case("a failing generator: its messages, and nothing left behind", function()
  local f = T.load("crypto_failing_random", "luaopen_crypto")
  T.raises("random: the OS CSPRNG failed", f.random, 16)
  T.raises("random: the OS CSPRNG failed", f.random, 100000)
  T.raises("x25519_keypair: the OS CSPRNG failed", f.x25519_keypair)
  T.raises("ed25519_keypair: the OS CSPRNG failed", f.ed25519_keypair)
  T.raises("x25519_keypair: the OS CSPRNG failed", f.x25519_keypair, nil)
  -- No generator is needed when the key or seed is given, nor for 0 bytes.
  T.eq(f.random(0), "")
  local sk = string.rep("\7", 32)
  T.eq(select(2, f.x25519_keypair(sk)), c.x25519_public_key(sk))
  T.eq(select(2, f.ed25519_keypair(sk)), select(2, c.ed25519_keypair(sk)))
end)

T.case("several threads use the module at once and agree", function()
  local code = [[
    local T = require("testlib")
    local c = T.load("crypto", "luaopen_crypto")
    local key, nonce = string.rep("k", 32), string.rep("n", 24)
    local acc = ""
    for i = 1, 200 do
      local msg = string.rep(string.char(i % 256), i * 37)
      local sealed = c.xchacha20poly1305_encrypt(key, nonce, nil, msg)
      assert(c.xchacha20poly1305_decrypt(key, nonce, nil, sealed) == msg)
      acc = c.sha256(acc .. sealed .. c.hmac_sha512(acc, msg) .. c.hkdf_sha256(msg, nil, nil, 100))
      local sk, pk = c.ed25519_keypair()
      assert(c.ed25519_verify(pk, acc, c.ed25519_sign(sk, acc)))
    end
    return acc
  ]]
  local threads = {}
  for i = 1, 4 do threads[i] = host.start(code) end
  local first
  for i = 1, 4 do
    local ok, acc = host.join(threads[i])
    T.eq(ok, true, "thread " .. i .. " " .. tostring(acc))
    first = first or acc
    T.eq(acc, first, "thread " .. i)
  end
  -- The host frees a thread's record when its handle is collected; the
  -- exit at the end of the run would skip that.
  threads = nil
  collectgarbage()
end)

return T.finish()
