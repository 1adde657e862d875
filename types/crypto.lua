---@meta crypto
-- LuaLS definitions of the `crypto` module (library crypto, entry point
-- luaopen_crypto): local crypto = require("crypto").
-- All values are raw byte strings, apart from the hash and MAC states that
-- the *_init functions return (crypto.HashState).  Misuse (a wrong size: "key
-- must be 32 bytes (got 31)", an out-of-range length, too large an input),
-- exhausted memory and a failing system generator raise Lua errors; outcomes
-- that depend on the data return nil and a message; tests return booleans.

---@class crypto
local crypto = {}

---`n` bytes (0..67108864) from the system's secure generator.
---Raises "random: size out of range", "random: the OS CSPRNG failed".
---@param n integer
---@return string bytes
function crypto.random(n) end

---An X25519 key pair; the given 32-byte secret key, or a fresh one.
---@param secret_key? string 32 bytes
---@return string secret_key 32 bytes
---@return string public_key 32 bytes
function crypto.x25519_keypair(secret_key) end

---The X25519 public key of a 32-byte secret key.
---@param secret_key string 32 bytes
---@return string public_key 32 bytes
function crypto.x25519_public_key(secret_key) end

---X25519 key agreement: the raw 32-byte shared secret (hash it, for example
---with `hkdf_sha256`, before use), or nil and "low-order point".
---@param secret_key string 32 bytes
---@param peer_public_key string 32 bytes
---@return string|nil shared_secret
---@return "low-order point"? message
function crypto.x25519(secret_key, peer_public_key) end

---An Ed25519 key pair from a 32-byte seed, or from a fresh one.
---@param seed? string 32 bytes
---@return string secret_key 64 bytes: the seed, then the public key
---@return string public_key 32 bytes
function crypto.ed25519_keypair(seed) end

---The public half (last 32 bytes) of a 64-byte Ed25519 secret key.
---@param secret_key string 64 bytes
---@return string public_key 32 bytes
function crypto.ed25519_public_key(secret_key) end

---A pure Ed25519 signature of `message`.
---@param secret_key string 64 bytes
---@param message string
---@return string signature 64 bytes
function crypto.ed25519_sign(secret_key, message) end

---Strict Ed25519 verification; false (never an error) for wrong sizes,
---small-order or non-canonical keys and R values, and forged signatures.
---@param public_key string
---@param message string
---@param signature string
---@return boolean valid
function crypto.ed25519_verify(public_key, message, signature) end

---ChaCha20-Poly1305 (RFC 8439): the ciphertext followed by the 16-byte tag.
---Raises "input too large (max 64 MiB)" above 67108912 plaintext bytes.
---@param key string 32 bytes
---@param nonce string 12 bytes, never reused with the same key
---@param ad string|nil associated data
---@param plaintext string
---@return string sealed
function crypto.chacha20poly1305_encrypt(key, nonce, ad, plaintext) end

---Opens a sealed message: the plaintext, or nil and "ciphertext too short" or
---"authentication failed".
---@param key string 32 bytes
---@param nonce string 12 bytes
---@param ad string|nil associated data
---@param sealed string
---@return string|nil plaintext
---@return ("ciphertext too short"|"authentication failed")? message
function crypto.chacha20poly1305_decrypt(key, nonce, ad, sealed) end

---XChaCha20-Poly1305: as `chacha20poly1305_encrypt` with a 24-byte nonce
---(random nonces are safe).
---@param key string 32 bytes
---@param nonce string 24 bytes
---@param ad string|nil associated data
---@param plaintext string
---@return string sealed
function crypto.xchacha20poly1305_encrypt(key, nonce, ad, plaintext) end

---XChaCha20-Poly1305: as `chacha20poly1305_decrypt` with a 24-byte nonce.
---@param key string 32 bytes
---@param nonce string 24 bytes
---@param ad string|nil associated data
---@param sealed string
---@return string|nil plaintext
---@return ("ciphertext too short"|"authentication failed")? message
function crypto.xchacha20poly1305_decrypt(key, nonce, ad, sealed) end

---SHA-256 digest.
---@param message string
---@return string digest 32 bytes
function crypto.sha256(message) end

---SHA-512 digest.
---@param message string
---@return string digest 64 bytes
function crypto.sha512(message) end

---HMAC-SHA-256 (key of any length).
---@param key string
---@param message string
---@return string mac 32 bytes
function crypto.hmac_sha256(key, message) end

---HMAC-SHA-512 (key of any length).
---@param key string
---@param message string
---@return string mac 64 bytes
function crypto.hmac_sha512(key, message) end

---HKDF-SHA-256 (RFC 5869), 0..8160 bytes; "hkdf: output length out of range".
---@param ikm string input key material
---@param salt string|nil
---@param info string|nil
---@param length integer
---@return string okm
function crypto.hkdf_sha256(ikm, salt, info, length) end

---HKDF-SHA-512 (RFC 5869), 0..16320 bytes.
---@param ikm string input key material
---@param salt string|nil
---@param info string|nil
---@param length integer
---@return string okm
function crypto.hkdf_sha512(ikm, salt, info, length) end

---BLAKE2b digest of 1..64 bytes ("blake2b: length must be 1..64").
---@param message string
---@param length? integer default 64
---@return string digest
function crypto.blake2b(message, length) end

---Keyed BLAKE2b (key 0..64 bytes) of 1..64 bytes.
---@param key string
---@param message string
---@param length? integer default 64
---@return string digest
function crypto.blake2b_keyed(key, message, length) end

---A state of SHA-256 over data in pieces (32-byte digest).
---@return crypto.HashState state
function crypto.sha256_init() end

---A state of SHA-512 over data in pieces (64-byte digest).
---@return crypto.HashState state
function crypto.sha512_init() end

---A state of BLAKE2b over data in pieces ("blake2b: length must be 1..64").
---@param length? integer digest bytes, 1..64, default 64
---@return crypto.HashState state
function crypto.blake2b_init(length) end

---A state of keyed BLAKE2b (key 0..64 bytes) over data in pieces.
---@param key string
---@param length? integer digest bytes, 1..64, default 64
---@return crypto.HashState state
function crypto.blake2b_keyed_init(key, length) end

---A state of HMAC-SHA-256 (key of any length) over data in pieces.
---@param key string
---@return crypto.HashState state
function crypto.hmac_sha256_init(key) end

---A state of HMAC-SHA-512 (key of any length) over data in pieces.
---@param key string
---@return crypto.HashState state
function crypto.hmac_sha512_init(key) end

---Constant-time comparison (time depends only on the length).
---@param a string
---@param b string
---@return boolean equal
function crypto.equal(a, b) end

---A hash or MAC over data that arrives in pieces, made by one of the
---`*_init` functions.  It belongs to the Lua state that made it: used in
---another one it raises "update: state belongs to another Lua state".  It
---holds key-derived values until `final` or the collector wipes them.
---@class crypto.HashState
local HashState = {}

---Absorbs `data`; returns the state, so calls chain.
---Raises "update: state used after final" once the state is finished.
---@param data string
---@return crypto.HashState self
function HashState:update(data) end

---The digest or MAC of everything absorbed: the bytes the one-shot function
---gives for all the pieces together.  Wipes the state; any further call
---raises "... state used after final".
---@return string digest
function HashState:final() end

---The module's version: the version of the release it came with.
crypto._VERSION = "1.0.1"

---The primitives' libraries and their versions, as this build links them: the
---form is "libsodium-<version>+openssl-<version>", and the versions differ from
---build to build (for example "libsodium-1.0.18+openssl-3.0.19" natively on
---Debian 12, "libsodium-1.0.18+openssl-3.0.20" in a crypto.dll).
---@type string
crypto._BACKEND = "libsodium-<version>+openssl-<version>"

return crypto
