-- needs: crypto
-- Two parties agree on a key with X25519, seal a message with
-- XChaCha20-Poly1305 and sign it with Ed25519.
local crypto = require("crypto")

local alice_secret, alice_public = crypto.x25519_keypair()
local bob_secret, bob_public = crypto.x25519_keypair()
local shared_a = assert(crypto.x25519(alice_secret, bob_public))
local shared_b = assert(crypto.x25519(bob_secret, alice_public))
assert(crypto.equal(shared_a, shared_b))
-- The raw shared secret is not a key: derive one.
local key = crypto.hkdf_sha256(shared_a, nil, "example box v1", 32)

local nonce = crypto.random(24)          -- random nonces are safe with XChaCha
local sealed = crypto.xchacha20poly1305_encrypt(key, nonce, "header", "hello, bob")
assert(#sealed == #"hello, bob" + 16)
assert(crypto.xchacha20poly1305_decrypt(key, nonce, "header", sealed) == "hello, bob")
local plain, err = crypto.xchacha20poly1305_decrypt(key, nonce, "other header", sealed)
assert(plain == nil and err == "authentication failed")

local signing_secret, signing_public = crypto.ed25519_keypair()
local signature = crypto.ed25519_sign(signing_secret, sealed)
assert(crypto.ed25519_verify(signing_public, sealed, signature))
assert(not crypto.ed25519_verify(signing_public, sealed .. "x", signature))
print("crypto: ok")
