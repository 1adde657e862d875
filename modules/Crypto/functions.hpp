// The Lua functions of the crypto module, one source file per concern.
#pragma once

#include <lua.hpp>

namespace luamods::crypto {

// module.cpp
int l_random(lua_State* L);
int l_equal(lua_State* L);

// keys.cpp
int l_x25519_keypair(lua_State* L);
int l_x25519_public_key(lua_State* L);
int l_x25519(lua_State* L);
int l_ed25519_keypair(lua_State* L);
int l_ed25519_public_key(lua_State* L);
int l_ed25519_sign(lua_State* L);
int l_ed25519_verify(lua_State* L);

// aead.cpp
int l_chacha20poly1305_encrypt(lua_State* L);
int l_chacha20poly1305_decrypt(lua_State* L);
int l_xchacha20poly1305_encrypt(lua_State* L);
int l_xchacha20poly1305_decrypt(lua_State* L);

// hashes.cpp
int l_sha256(lua_State* L);
int l_sha512(lua_State* L);
int l_hmac_sha256(lua_State* L);
int l_hmac_sha512(lua_State* L);
int l_hkdf_sha256(lua_State* L);
int l_hkdf_sha512(lua_State* L);
int l_blake2b(lua_State* L);
int l_blake2b_keyed(lua_State* L);

// hash_state.cpp: the functions that make state objects take the objects'
// metatable, which push_state_metatable leaves on the stack, as upvalue 1.
void push_state_metatable(lua_State* L);
int l_sha256_init(lua_State* L);
int l_sha512_init(lua_State* L);
int l_hmac_sha256_init(lua_State* L);
int l_hmac_sha512_init(lua_State* L);
int l_blake2b_init(lua_State* L);
int l_blake2b_keyed_init(lua_State* L);

}  // namespace luamods::crypto
