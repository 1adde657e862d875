-- X25519 and Ed25519 beyond the published vectors: the low-order rule of
-- x25519, key pair shapes, and the strict encoding checks of ed25519_verify.
local T = require("testlib")
-- The optional argument names a test build of the module (tests/crypto/CMakeLists.txt).
local c = T.load(arg[1] or "crypto", "luaopen_crypto")
local X = T.unhex

local ff30 = string.rep("ff", 30)
-- Encodings of small-order points and the non-canonical aliases of 0 and 1.
local small_order = {
  string.rep("00", 32),
  "01" .. string.rep("00", 31),
  "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
  "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
  "ec" .. ff30 .. "7f",
  "ed" .. ff30 .. "7f",
  "ee" .. ff30 .. "7f",
}

local function with_sign_bit(s)
  return s:sub(1, 31) .. string.char(bit.bor(s:byte(32), 0x80))
end

-- RFC 8032 section 7.1, TEST 3.
local pk = X("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025")
local msg = X("af82")
local sig = X("6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a")

T.case("x25519: a low-order peer key gives nil and low-order point", function()
  -- u = 0, 1, the two order-8 points, p - 1, p, p + 1, and with bit 255 set.
  local low = {
    string.rep("00", 32), "01" .. string.rep("00", 31),
    "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
    "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
    "ec" .. ff30 .. "7f", "ed" .. ff30 .. "7f", "ee" .. ff30 .. "7f",
  }
  for i = 1, 5 do
    local sk = c.random(32)
    for _, h in ipairs(low) do
      for _, peer in ipairs({ X(h), with_sign_bit(X(h)) }) do
        local shared, err = c.x25519(sk, peer)
        T.eq(shared, nil, h)
        T.eq(err, "low-order point", h)
      end
    end
  end
end)

T.case("x25519: key pairs are returned as given, fresh ones differ, agreement is symmetric", function()
  local given = c.random(32)
  local sk, pk1 = c.x25519_keypair(given)
  T.eq(sk, given)
  T.eq(pk1, c.x25519_public_key(given))
  local a_sk, a_pk = c.x25519_keypair()
  local b_sk, b_pk = c.x25519_keypair()
  T.eq(#a_sk, 32)
  T.eq(#a_pk, 32)
  T.truthy(a_sk ~= b_sk and a_pk ~= b_pk, "fresh keys differ")
  T.eq(c.x25519(a_sk, b_pk), c.x25519(b_sk, a_pk))
  T.eq(#c.x25519(a_sk, b_pk), 32)
end)

T.case("ed25519: key pair shapes; the public key is the stored second half", function()
  local sk, pk1 = c.ed25519_keypair()
  T.eq(#sk, 64)
  T.eq(#pk1, 32)
  T.eq(sk:sub(33), pk1)
  T.eq(c.ed25519_public_key(sk), pk1)
  local any = string.rep("a", 32) .. string.rep("b", 32)
  T.eq(c.ed25519_public_key(any), string.rep("b", 32))
  local seed = c.random(32)
  T.eq(c.ed25519_keypair(seed), c.ed25519_keypair(seed), "deterministic from the seed")
  T.truthy(c.ed25519_keypair() ~= sk, "fresh seeds differ")
end)

T.case("ed25519_verify: wrong sizes are false, not errors", function()
  T.eq(c.ed25519_verify(pk, msg, sig), true)
  T.eq(c.ed25519_verify(pk:sub(2), msg, sig), false)
  T.eq(c.ed25519_verify(pk .. "x", msg, sig), false)
  T.eq(c.ed25519_verify(pk, msg, sig:sub(2)), false)
  T.eq(c.ed25519_verify(pk, msg, sig .. "x"), false)
  T.eq(c.ed25519_verify("", "", ""), false)
  T.raises(T.argerror(3, "?", "string expected, got no value"), c.ed25519_verify, pk, msg)
end)

T.case("ed25519_verify: small-order and non-canonical keys and R are refused", function()
  local s = sig:sub(33)
  for _, h in ipairs(small_order) do
    for _, enc in ipairs({ X(h), with_sign_bit(X(h)) }) do
      T.eq(c.ed25519_verify(enc, msg, sig), false, "key " .. T.hex(enc))
      T.eq(c.ed25519_verify(pk, msg, enc .. s), false, "R " .. T.hex(enc))
      -- A small-order key with a small-order R and S = 0 satisfies the
      -- group equation for every message; it must still be refused.
      T.eq(c.ed25519_verify(enc, msg, enc .. string.rep("\0", 32)), false, "trivial " .. T.hex(enc))
    end
  end
  -- y >= p: p + 2 .. p + 18 and 2^255 - 1, as R and as key, with either sign.
  for _, first in ipairs({ "ef", "f0", "fe", "ff" }) do
    local enc = X(first .. ff30 .. "7f")
    for _, e in ipairs({ enc, with_sign_bit(enc) }) do
      T.eq(c.ed25519_verify(pk, msg, e .. s), false, "R " .. T.hex(e))
      T.eq(c.ed25519_verify(e, msg, sig), false, "key " .. T.hex(e))
    end
  end
end)

T.case("ed25519_verify: S + L (a malleated signature) is refused", function()
  -- L, little-endian.
  local L = X("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010")
  local out, carry = {}, 0
  for i = 1, 32 do
    local v = sig:byte(32 + i) + L:byte(i) + carry
    out[i] = string.char(v % 256)
    carry = math.floor(v / 256)
  end
  T.eq(carry, 0)
  local malleated = sig:sub(1, 32) .. table.concat(out)
  T.truthy(malleated ~= sig, "changed")
  T.eq(c.ed25519_verify(pk, msg, malleated), false)
  T.eq(c.ed25519_verify(pk, msg, sig), true)
end)

T.case("ed25519_sign: signs with the stored public half", function()
  local sk = c.ed25519_keypair(c.random(32))
  local other = select(2, c.ed25519_keypair(c.random(32)))
  local mixed = sk:sub(1, 32) .. other
  local s1, s2 = c.ed25519_sign(sk, "m"), c.ed25519_sign(mixed, "m")
  T.truthy(s1 ~= s2, "the public half enters the signature")
  T.eq(c.ed25519_verify(sk:sub(33), "m", s1), true)
  T.eq(c.ed25519_verify(sk:sub(33), "m", s2), false)
  T.eq(c.ed25519_verify(other, "m", s2), false)
end)

return T.finish()
