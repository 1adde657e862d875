-- Every size message, range limit and data-dependent failure of the hashes,
-- the key functions and the AEAD functions.
local T = require("testlib")
local c = T.load("crypto", "luaopen_crypto")

local function size_msg(label, want, got)
  return string.format("%s must be %d bytes (got %d)", label, want, got)
end
local k32, k31 = string.rep("k", 32), string.rep("k", 31)

T.case("key functions: the size message names the first bad argument", function()
  T.raises(size_msg("secret key", 32, 5), c.x25519_keypair, "short")
  T.raises(size_msg("secret key", 32, 0), c.x25519_keypair, "")
  T.raises(size_msg("secret key", 32, 33), c.x25519_public_key, k32 .. "x")
  T.raises(size_msg("secret key", 32, 31), c.x25519, k31, k31)
  T.raises(size_msg("public key", 32, 31), c.x25519, k32, k31)
  T.raises(size_msg("seed", 32, 64), c.ed25519_keypair, k32 .. k32)
  T.raises(size_msg("secret key", 64, 63), c.ed25519_public_key, k32 .. k31)
  T.raises(size_msg("secret key", 64, 32), c.ed25519_sign, k32, "message")
  -- The key is tested before the message is read.
  T.raises(size_msg("secret key", 64, 32), c.ed25519_sign, k32)
  -- A number is a string of its digits.
  T.raises(size_msg("secret key", 32, 2), c.x25519_public_key, 42)
end)

for _, v in ipairs({ { "chacha20poly1305", 12, 24 }, { "xchacha20poly1305", 24, 12 } }) do
  local name, nonce_size, other = v[1], v[2], v[3]
  local encrypt, decrypt = c[name .. "_encrypt"], c[name .. "_decrypt"]
  local nonce = string.rep("n", nonce_size)

  T.case(name .. ": key and nonce sizes, checked before anything else", function()
    for _, f in ipairs({ encrypt, decrypt }) do
      T.raises(size_msg("key", 32, 31), f, k31, nonce, nil, string.rep("p", 40))
      T.raises(size_msg("key", 32, 31), f, k31, "n", nil, "p")
      T.raises(size_msg("nonce", nonce_size, other), f, k32, string.rep("n", other), nil, "p")
    end
    -- 15 bytes would be "too short", but the bad key wins.
    T.raises(size_msg("key", 32, 31), decrypt, k31, nonce, nil, string.rep("c", 15))
    T.raises(size_msg("nonce", nonce_size, 0), decrypt, k32, "", nil, string.rep("c", 15))
  end)

  T.case(name .. ": empty and short messages, associated data, tampering", function()
    local sealed = encrypt(k32, nonce, nil, "")
    T.eq(#sealed, 16, "tag alone")
    T.eq(decrypt(k32, nonce, nil, sealed), "")
    T.eq(encrypt(k32, nonce, "", "hello"), encrypt(k32, nonce, nil, "hello"), "nil and empty ad")
    local r1, r2 = decrypt(k32, nonce, nil, string.rep("c", 15))
    T.eq(r1, nil)
    T.eq(r2, "ciphertext too short")
    r1, r2 = decrypt(k32, nonce, nil, string.rep("c", 16))
    T.eq(r1, nil)
    T.eq(r2, "authentication failed")

    local plain, ad = "attack at dawn", "header"
    sealed = encrypt(k32, nonce, ad, plain)
    T.eq(#sealed, #plain + 16)
    T.eq(decrypt(k32, nonce, ad, sealed), plain)
    local function refused(...)
      local p, err = decrypt(...)
      T.eq(p, nil)
      T.eq(err, "authentication failed")
    end
    refused(k32, nonce, nil, sealed)
    refused(k32, nonce, "headex", sealed)
    refused(k32, "m" .. nonce:sub(2), ad, sealed)
    refused("j" .. k32:sub(2), nonce, ad, sealed)
    for i = 1, #sealed do  -- every byte of ciphertext and tag
      local b = string.char(bit.bxor(sealed:byte(i), 0x80))
      refused(k32, nonce, ad, sealed:sub(1, i - 1) .. b .. sealed:sub(i + 1))
    end
    refused(k32, nonce, ad, sealed:sub(1, -2))
  end)

  T.case(name .. ": the 64 MiB bounds", function()
    local max_plain = 67108912
    local big = string.rep("\1", max_plain)
    local sealed = encrypt(k32, nonce, nil, big)
    T.eq(#sealed, 67108928, "largest sealed message")
    T.truthy(decrypt(k32, nonce, nil, sealed) == big, "largest message opens")
    T.raises("input too large (max 64 MiB)", encrypt, k32, nonce, nil, big .. "\1")
    local r1, r2 = decrypt(k32, nonce, nil, string.rep("\2", 67108944))
    T.eq(r1, nil)
    T.eq(r2, "authentication failed")
    T.raises("input too large (max 64 MiB)", decrypt, k32, nonce, nil, string.rep("\2", 67108945))
  end)
end

T.case("hkdf: output lengths 0 to the limit, salt and info defaults", function()
  T.eq(c.hkdf_sha256("ikm", nil, nil, 0), "")
  T.eq(c.hkdf_sha512("ikm", nil, nil, 0), "")
  T.eq(#c.hkdf_sha256("ikm", nil, nil, 8160), 8160)
  T.eq(#c.hkdf_sha512("ikm", nil, nil, 16320), 16320)
  T.raises("hkdf: output length out of range", c.hkdf_sha256, "ikm", nil, nil, 8161)
  T.raises("hkdf: output length out of range", c.hkdf_sha256, "ikm", nil, nil, -1)
  T.raises("hkdf: output length out of range", c.hkdf_sha512, "ikm", nil, nil, 16321)
  T.raises("hkdf: output length out of range", c.hkdf_sha512, "ikm", nil, nil, -1)
  for _, n in ipairs({ 0 / 0, math.huge, -math.huge, 2 ^ 70 }) do
    T.raises("hkdf: output length out of range", c.hkdf_sha256, "ikm", nil, nil, n)
  end
  for _, v in ipairs({ { c.hkdf_sha256, 32 }, { c.hkdf_sha512, 64 } }) do
    local f, zeros = v[1], string.rep("\0", v[2])
    local ref = f("ikm", nil, "info", 100)
    T.eq(f("ikm", "", "info", 100), ref, "empty salt")
    T.eq(f("ikm", zeros, "info", 100), ref, "salt of zero bytes")
    T.eq(f("ikm", "s", nil, 77), f("ikm", "s", "", 77), "nil and empty info")
    -- A shorter output is a prefix of a longer one.
    T.eq(f("ikm", "s", "i", 1000):sub(1, 33), f("ikm", "s", "i", 33))
  end
end)

T.case("blake2b: length 1..64, key at most 64, length tested first", function()
  T.eq(#c.blake2b("m"), 64)
  T.eq(#c.blake2b("m", 1), 1)
  T.eq(#c.blake2b_keyed(string.rep("k", 64), "m"), 64)
  for n = 1, 64, 21 do
    T.eq(c.blake2b_keyed("", "message", n), c.blake2b("message", n), "empty key, length " .. n)
  end
  -- A shorter digest is not a prefix of the longer one: the length is a parameter.
  T.truthy(c.blake2b("m", 32) ~= c.blake2b("m"):sub(1, 32), "length is hashed in")
end)

-- Every raised message of the hashes and MACs, one-shot and streaming, one
-- row each: the message, the function, its arguments.  The streaming form
-- checks its arguments as the one-shot function does, with the same texts.
T.case("hashes and MAC states: every raised message", function()
  local key65 = string.rep("k", 65)
  local done = c.sha256_init()
  done:final()
  local open = c.hmac_sha512_init("key")
  local rows = {
    { "blake2b: length must be 1..64", c.blake2b, "m", 0 },
    { "blake2b: length must be 1..64", c.blake2b, "m", 65 },
    { "blake2b: length must be 1..64", c.blake2b_init, 0 },
    { "blake2b: length must be 1..64", c.blake2b_init, 65 },
    { "blake2b_keyed: length must be 1..64", c.blake2b_keyed, key65, "m", 0 },
    { "blake2b_keyed: length must be 1..64", c.blake2b_keyed, "k", "m", 65 },
    { "blake2b_keyed: length must be 1..64", c.blake2b_keyed_init, key65, 0 },
    { "blake2b_keyed: length must be 1..64", c.blake2b_keyed_init, "k", 65 },
    -- NaN, the infinities and numbers past 64 bits are lengths out of range.
    { "blake2b: length must be 1..64", c.blake2b, "m", 0 / 0 },
    { "blake2b: length must be 1..64", c.blake2b_init, math.huge },
    { "blake2b_keyed: length must be 1..64", c.blake2b_keyed, "k", "m", -math.huge },
    { "blake2b_keyed: length must be 1..64", c.blake2b_keyed_init, "k", 2 ^ 70 },
    { "blake2b_keyed: key must be at most 64 bytes", c.blake2b_keyed, key65, "m" },
    { "blake2b_keyed: key must be at most 64 bytes", c.blake2b_keyed_init, key65 },
    { T.argerror(2, "?", "number expected, got string"), c.blake2b, "m", "x" },
    { T.argerror(1, "?", "number expected, got string"), c.blake2b_init, "x" },
    { T.argerror(1, "?", "string expected, got no value"), c.blake2b_keyed_init },
    { T.argerror(1, "?", "string expected, got no value"), c.hmac_sha256_init },
    { T.argerror(1, "?", "string expected, got table"), c.hmac_sha512_init, {} },
    { "update: state used after final", done.update, done, "x" },
    { "final: state used after final", done.final, done },
    { T.argerror(2, "?", "string expected, got table"), open.update, open, {} },
    { T.argerror(2, "?", "string expected, got no value"), open.update, open },
    { T.argerror(1, "?", "hash state expected, got string"), open.update, "x", "y" },
    { T.argerror(1, "?", "hash state expected, got userdata"), open.final, io.stdout },
    { T.argerror(1, "?", "hash state expected, got no value"), open.final },
  }
  for i, row in ipairs(rows) do
    local ok, err = pcall(T.raises, row[1], row[2], unpack(row, 3, table.maxn(row)))
    if not ok then error("row " .. i .. ": " .. tostring(err), 0) end
  end
  -- None of the failed calls touched the open state.
  T.eq(open:update("m"):final(), c.hmac_sha512("key", "m"))
end)

-- A state object belongs to the Lua state that made it, coroutines
-- included.  Its bytes copied into an object of another Lua state (as C
-- code or the FFI could) are refused there, and the object they were copied
-- from works on.
T.case("hash states: one Lua state's coroutines share them; another Lua state refuses them", function()
  local made = coroutine.wrap(function() return c.sha256_init():update("a") end)()
  T.eq(coroutine.wrap(function() return made:update("b"):final() end)(), c.sha256("ab"))
  local ffi = require("ffi")
  local s = c.blake2b_keyed_init("key", 32)
  local address = tonumber(ffi.cast("uintptr_t", ffi.cast("void*", s)))
  local size = ffi.cast("const uint32_t*", s)[1]
  local ok, update_err, final_err = host.run([[
    local ffi = require("ffi")
    local T = require("testlib")
    local c = T.load("crypto", "luaopen_crypto")
    local address, size = ...
    local u = c.blake2b_keyed_init("other key", 32)
    ffi.copy(ffi.cast("void*", u), ffi.cast("const void*", address), size)
    return select(2, pcall(u.update, u, "m")), select(2, pcall(u.final, u))
  ]], address, size)
  T.eq(ok, true, tostring(update_err))
  T.eq(T.message(update_err), "update: state belongs to another Lua state")
  T.eq(T.message(final_err), "final: state belongs to another Lua state")
  T.eq(s:update("m"):final(), c.blake2b_keyed("key", "m", 32))
end)

T.case("hmac_sha256: 64-byte keys as they are, longer keys hashed first", function()
  local k64, k65 = string.rep("K", 64), string.rep("K", 65)
  T.truthy(c.hmac_sha256(k64, "m") ~= c.hmac_sha256(c.sha256(k64), "m"), "64-byte key unchanged")
  T.eq(c.hmac_sha256(k65, "m"), c.hmac_sha256(c.sha256(k65), "m"), "65-byte key")
  local k129 = string.rep("K", 129)
  T.eq(c.hmac_sha512(k129, "m"), c.hmac_sha512(c.sha512(k129), "m"), "129-byte key")
  -- A shorter key is padded with zeros.
  T.eq(c.hmac_sha256("K", "m"), c.hmac_sha256("K\0", "m"), "zero padding")
end)

return T.finish()
