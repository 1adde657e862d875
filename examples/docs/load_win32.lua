-- needs: win32
-- win32 lives in Pellor.dll (Windows only): open it by its entry point.
local pellor = assert(package.searchpath("Pellor", package.cpath))
---@type win32
local win32 = assert(package.loadlib(pellor, "luaopen_win32"))()

assert(win32._NAME == "win32")
print("win32: ok, process " .. win32.current_pid())
