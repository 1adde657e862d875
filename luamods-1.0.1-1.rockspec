-- LuaRocks package of the native modules: memory and memory.queue (Quandel),
-- threads, crypto.  The win32 module (Pellor) is built for Windows only.
--   luarocks make luamods-1.0.1-1.rockspec          (from a checkout)
-- Needs LuaJIT's headers (pkg-config luajit) and, for crypto, libsodium and
-- OpenSSL's libcrypto (pkg-config libsodium libcrypto).
rockspec_format = "3.0"
package = "luamods"
version = "1.0.1-1"
source = {
  url = "git+file://.",
}
description = {
  summary = "Native LuaJIT modules: shared memory blocks, lock-free queues, threads, crypto",
  detailed = [[
memory: heap blocks shared by Lua states on many threads, with bounds-checked,
typed, atomic and sequence-locked access and reference-counted sharing.
memory.fast: memory's functions through LuaJIT's FFI, compiled into traces
(require("memory.fast")).
memory.queue: lock-free queues of addresses and strings between threads, with
blocking takes that may have a time limit.  memory.queue.fast: its item
functions through LuaJIT's FFI (require("memory.queue.fast")).
threads: Lua states on new threads, started from plain luajit, with the host
record that memory's clean-up needs (require("threads")).
crypto: random bytes, X25519, Ed25519, (X)ChaCha20-Poly1305, SHA-2, HMAC, HKDF,
BLAKE2b.  memory and memory.queue live in one library, Quandel; load them with
require("memory") and require("memory.queue"), whose small Lua loaders are
installed with it (see docs/install.md).
]],
}
build = {
  type = "cmake",
  variables = {
    -- Optimized and stripped, as a release; the symbols stay in a
    -- <library>.debug file beside each library.
    CMAKE_BUILD_TYPE = "Release",
    LUAMODS_INSTALL_STRIP = "ON",
    CMAKE_INSTALL_PREFIX = "$(PREFIX)",
    LUAMODS_MODULES_ONLY = "ON",
    LUAMODS_INSTALL_CMOD = "$(LIBDIR)",
    LUAMODS_INSTALL_LMOD = "$(LUADIR)",
    LUAMODS_INSTALL_DOC = "$(PREFIX)",
  },
  -- The reference pages are the rock's documentation: `luarocks doc luamods`
  -- lists docs/ (CMake installs the same pages there, with types/ and
  -- licenses/).  Without this LuaRocks would make a doc/ of the README alone.
  copy_directories = { "docs" },
}
