-- Differential tests: thousands of random cases computed by OpenSSL and
-- hashlib (gen_vectors.py) must come out byte for byte the same here.
-- The data file's path is the first argument; the optional second names a
-- test build of the module (tests/crypto/CMakeLists.txt).
local T = require("testlib")
local c = T.load(arg[2] or "crypto", "luaopen_crypto")
local X = T.unhex

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
