-- require("win32"): the win32 module of the Pellor library.  The file
-- name Pellor is not a module name, so package.searchpath finds the file on package.cpath
-- and opens the table by its entry point, luaopen_win32.  Windows only.
local path = package.searchpath("Pellor", package.cpath)
if not path then
  error("win32: the Pellor library is not on package.cpath (" .. package.cpath .. ")", 2)
end
return assert(package.loadlib(path, "luaopen_win32"))()
