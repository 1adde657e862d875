-- require("win32"): the win32 module of the Pellor library.  The file
-- name Pellor is not a module name, so this finds the file on package.cpath
-- and opens the table by its entry point, luaopen_win32.  Windows only.
local function find(name)
  for template in package.cpath:gmatch("[^;]+") do
    local path = template:gsub("%?", name)
    local file = io.open(path, "rb")
    if file then
      file:close()
      return path
    end
  end
end

local path = find("Pellor")
if not path then
  error("win32: the Pellor library is not on package.cpath (" .. package.cpath .. ")", 2)
end
return assert(package.loadlib(path, "luaopen_win32"))()
