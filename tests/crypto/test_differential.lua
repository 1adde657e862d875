-- Differential tests: thousands of random cases computed by OpenSSL and
-- hashlib (gen_vectors.py) must come out byte for byte the same here.
-- The data file's path is the first argument; the optional second names a
-- test build of the module (tests/crypto/CMakeLists.txt).
--
-- Every call also checks the upper vector state the moment it returns
-- (vector_probe.cpp): a function that ran library code must return with it
-- clear even when it was set on entry; the module's own code (SHA-256 and what
-- is built on it, equal) must leave a clear state clear.
local ffi = require("ffi")
local T = require("testlib")
local module = T.load(arg[2] or "crypto", "luaopen_crypto")
local probe = T.load("crypto_vector_probe", "luaopen_crypto_vector_probe")
local X = T.unhex

if not probe.supported then print("note: the upper vector state cannot be read here; not checked") end

local own_code = { sha256 = true, hmac_sha256 = true, hkdf_sha256 = true, equal = true,
                   sha256_init = true, hmac_sha256_init = true }

-- f(...) through the probe: its results, or an error when it left the upper
-- vector state set.
local function checked(name, set_first, f, ...)
  return (function(clean, ...)
    if not clean then error(name .. " returned with the upper vector state set", 2) end
    return ...
  end)(probe.call(set_first, f, ...))
end

-- The module's table with every function called through the probe.
local c = {}
for name, v in pairs(module) do
  if type(v) == "function" then
    c[name] = function(...) return checked(name, not own_code[name], v, ...) end
  else
    c[name] = v
  end
end

local path = assert(arg[1], "usage: test_differential.lua vectors.lua")
local V = dofile(path)

-- Hex to bytes; false (an absent argument) to nil.
local function b(v)
  if v == false then return nil end
  return X(v)
end

-- Runs check(row) over every row of a group and reports the first mismatch.
local function each(group, check)
  local rows = assert(V[group], "no cases for " .. group)
  T.truthy(#rows > 0, group .. " has cases")
  for i, row in ipairs(rows) do
    local ok, err = pcall(check, row, i)
    if not ok then error(string.format("%s case %d: %s", group, i, tostring(err)), 0) end
  end
end

local bxor, lshift = require("bit").bxor, require("bit").lshift

-- s with bit number n (0 = lowest bit of the first byte) inverted.
local function flip(s, n)
  local i = math.floor(n / 8) + 1
  return s:sub(1, i - 1) .. string.char(bxor(s:byte(i), lshift(1, n % 8))) .. s:sub(i + 1)
end

T.case("sha256 and sha512: every length 0..300 and large messages", function()
  each("sha256", function(r) T.eq(c.sha256(X(r[1])), X(r[2])) end)
  each("sha512", function(r) T.eq(c.sha512(X(r[1])), X(r[2])) end)
end)

T.case("hmac_sha256 and hmac_sha512: keys across the block size", function()
  each("hmac_sha256", function(r) T.eq(c.hmac_sha256(X(r[1]), X(r[2])), X(r[3])) end)
  each("hmac_sha512", function(r) T.eq(c.hmac_sha512(X(r[1]), X(r[2])), X(r[3])) end)
end)

T.case("hkdf_sha256 and hkdf_sha512: nil, empty and long salt and info, every length class", function()
  each("hkdf_sha256", function(r) T.eq(c.hkdf_sha256(X(r[1]), b(r[2]), b(r[3]), r[4]), X(r[5])) end)
  each("hkdf_sha512", function(r) T.eq(c.hkdf_sha512(X(r[1]), b(r[2]), b(r[3]), r[4]), X(r[5])) end)
end)

T.case("blake2b: every length 1..64; blake2b_keyed: every length with every key 0..64", function()
  each("blake2b", function(r) T.eq(c.blake2b(X(r[1]), r[2]), X(r[3])) end)
  each("blake2b_keyed", function(r) T.eq(c.blake2b_keyed(X(r[1]), X(r[2]), r[3]), X(r[4])) end)
end)

T.case("x25519: key pairs and shared secrets, random peer keys included", function()
  each("x25519", function(r)
    local sk, pk = c.x25519_keypair(X(r[1]))
    T.eq(pk, X(r[2]), "public key")
    local shared, err = c.x25519(sk, X(r[3]))
    if r[4] then
      T.eq(shared, X(r[4]), "shared secret")
    else
      T.eq(shared, nil)
      T.eq(err, "low-order point")
    end
  end)
end)

T.case("ed25519: key pairs, signatures, verification of good and corrupted ones", function()
  each("ed25519", function(r)
    local seed, pk, msg, sig = X(r[1]), X(r[2]), X(r[3]), X(r[4])
    local sk, got_pk = c.ed25519_keypair(seed)
    T.eq(got_pk, pk, "public key")
    T.eq(c.ed25519_sign(sk, msg), sig, "signature")
    T.eq(c.ed25519_verify(pk, msg, sig), true, "verify")
    T.eq(c.ed25519_verify(X(r[5]), X(r[6]), X(r[7])), r[8], "verify of the corrupted copy")
  end)
end)

T.case("ed25519_verify: refuses equation-satisfying signatures whose R is the identity", function()
  local lenient = 0
  each("ed25519_forged", function(r)
    T.eq(c.ed25519_verify(X(r[1]), X(r[2]), X(r[3])), false)
    if r[4] then lenient = lenient + 1 end
  end)
  -- OpenSSL takes the canonically encoded ones: the forgeries are real.
  T.truthy(lenient > 0, "OpenSSL accepted none of the forged signatures")
end)

-- The bytes of a state object after its header (modules/Crypto/hash_state.cpp:
-- 24 bytes, the object's size at offset 4): true when all are zero.
local kStateHeader = 24
local function wiped(s)
  local p = ffi.cast("const uint8_t*", s)
  for i = kStateHeader, ffi.cast("const uint32_t*", s)[1] - 1 do
    if p[i] ~= 0 then return false end
  end
  return true
end

T.case("streams: every hash and MAC over messages in random pieces, wiped at final and by __gc", function()
  local init = {
    sha256 = function() return c.sha256_init() end,
    sha512 = function() return c.sha512_init() end,
    hmac_sha256 = function(key) return c.hmac_sha256_init(key) end,
    hmac_sha512 = function(key) return c.hmac_sha512_init(key) end,
    blake2b = function(_, length) return c.blake2b_init(length) end,
    blake2b_keyed = function(key, length) return c.blake2b_keyed_init(key, length) end,
  }
  local one_shot = {
    sha256 = function(_, _, m) return c.sha256(m) end,
    sha512 = function(_, _, m) return c.sha512(m) end,
    hmac_sha256 = function(key, _, m) return c.hmac_sha256(key, m) end,
    hmac_sha512 = function(key, _, m) return c.hmac_sha512(key, m) end,
    blake2b = function(_, length, m) return c.blake2b(m, length) end,
    blake2b_keyed = function(key, length, m) return c.blake2b_keyed(key, m, length) end,
  }
  each("streams", function(r, i)
    local name, key, length, want = r[1], b(r[2]), r[3] or nil, X(r[5])
    local set_first = not own_code[name .. "_init"]
    local s = init[name](key, length)
    local whole = {}
    for j, hex in ipairs(r[4]) do
      whole[j] = X(hex)
      T.eq(checked("update", set_first, s.update, s, whole[j]), s, "update returns the state")
    end
    T.eq(wiped(s), false, "an open state holds its context")
    if i % 8 == 0 then
      -- What the collector calls for a state that was never finished.
      debug.getmetatable(s).__gc(s)
      T.eq(wiped(s), true, "wiped by __gc")
      T.raises("final: state used after final", s.final, s)
    else
      T.eq(checked("final", set_first, s.final, s), want, "final")
      T.eq(wiped(s), true, "wiped by final")
      T.raises("update: state used after final", s.update, s, "")
    end
    T.eq(one_shot[name](key, length, table.concat(whole)), want, "the one-shot function")
  end)
end)

for _, name in ipairs({ "chacha20poly1305", "xchacha20poly1305" }) do
  local encrypt, decrypt = c[name .. "_encrypt"], c[name .. "_decrypt"]
  T.case(name .. ": seal, open, and refuse a flipped bit", function()
    each(name, function(r, i)
      local key, nonce, ad, plain, sealed = X(r[1]), X(r[2]), b(r[3]), X(r[4]), X(r[5])
      T.eq(encrypt(key, nonce, ad, plain), sealed, "sealed message")
      T.eq(decrypt(key, nonce, ad, sealed), plain, "opened message")
      -- A different bit each case, in the ciphertext or in the tag.
      local bad, err = decrypt(key, nonce, ad, flip(sealed, (i * 7919) % (#sealed * 8)))
      T.eq(bad, nil)
      T.eq(err, "authentication failed")
    end)
  end)
end

return T.finish()
