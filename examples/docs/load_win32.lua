-- needs: win32
-- win32 lives in Pellor.dll (Windows only); require("win32") finds it.
---@type win32
local win32 = require("win32")

assert(win32._NAME == "win32")
print("win32: ok, process " .. win32.current_pid())
