-- needs: win32
-- setenv changes the process environment and the copy of it that the
-- universal C runtime (ucrtbase.dll) keeps.  A host whose LuaJIT is linked
-- with another C runtime (msvcrt.dll for a classic mingw build) reads its
-- own copy in os.getenv, which setenv does not reach.  win32.getenv always
-- reads the process environment; to update the host's copy as well, call
-- its _putenv_s through the FFI: ffi.C finds C functions in the C runtime
-- that LuaJIT itself was linked with, whichever that is.
local ffi = require("ffi")
local win32 = require("win32")

local system_ok, ucrt_ok, code = win32.setenv("LUAMODS_EXAMPLE", "on")
assert(system_ok and ucrt_ok and code == 0)
assert(win32.getenv("LUAMODS_EXAMPLE") == "on")          -- whatever the host

ffi.cdef[[ int _putenv_s(const char *name, const char *value); ]]
assert(ffi.C._putenv_s("LUAMODS_EXAMPLE", "on") == 0)    -- the host's runtime
assert(os.getenv("LUAMODS_EXAMPLE") == "on")

win32.setenv("LUAMODS_EXAMPLE", nil)                      -- removing: both again
assert(ffi.C._putenv_s("LUAMODS_EXAMPLE", "") == 0)
assert(win32.getenv("LUAMODS_EXAMPLE") == nil and os.getenv("LUAMODS_EXAMPLE") == nil)
print("setenv: ok")
