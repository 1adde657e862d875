-- The LuaLS definition files in types/ against the module tables: every
-- function and field of a loaded table has a definition of the same kind, and
-- every definition names something the table has.  Also: the reference page
-- of each module has a section for every function its definition declares.
--   test_definitions.lua <source dir> <module built in this configuration>...
local T = require("testlib")

local src = assert(arg[1], "source dir expected")
local built = {}
for i = 2, #arg do built[arg[i]] = true end

local MODULES = {
  { name = "memory", types = "memory.lua", doc = "memory.md", load = T.memory },
  { name = "memory.queue", types = "memory_queue.lua", doc = "memory-queue.md", load = T.queue },
  { name = "threads", types = "threads.lua", doc = "threads.md",
    load = function() return T.load("threads", "luaopen_threads") end },
  { name = "crypto", types = "crypto.lua", doc = "crypto.md",
    load = function() return T.load("crypto", "luaopen_crypto") end },
  { name = "win32", types = "win32.lua", doc = "win32.md",
    load = function() return T.load("Pellor", "luaopen_win32") end },
}

local function slurp(path)
  local f = assert(io.open(path, "rb"))
  local text = f:read("*a")
  f:close()
  return text
end

-- What a definition file declares on its module table: name -> Lua type.
-- A definition file is Lua that builds and returns the table it describes
-- (functions with empty bodies, fields with example values), so running it
-- gives exactly the declared names, and a syntax error fails here.
local function declarations(path)
  local meta = slurp(path):match("^%-%-%-@meta%s+([%w_.]+)")
  assert(meta, path .. ": the first line is not ---@meta <module>")
  local chunk = assert(loadfile(path))
  local declared = chunk()
  assert(type(declared) == "table", path .. " does not return its module table")
  local names = {}
  for name, value in pairs(declared) do names[name] = type(value) end
  return meta, names
end

-- Every disagreement between a module table and its declarations, sorted.
local function disagreements(module, names)
  local found = {}
  for key, value in pairs(module) do
    if type(key) ~= "string" then
      found[#found + 1] = "a key that is not a name: " .. tostring(key)
    elseif not names[key] then
      found[#found + 1] = key .. " (" .. type(value) .. ") has no definition"
    elseif names[key] ~= type(value) then
      found[#found + 1] = key .. " is a " .. type(value) .. " but is declared as a " .. names[key]
    end
  end
  for key in pairs(names) do
    if module[key] == nil then found[#found + 1] = key .. " is declared but not in the table" end
  end
  table.sort(found)
  return found
end

for _, m in ipairs(MODULES) do
  local meta, names = declarations(src .. "/types/" .. m.types)

  T.case(m.name .. ": the definition file declares the module " .. m.name, function()
    T.eq(meta, m.name, "---@meta name")
  end)

  if built[m.name] then
    T.case(m.name .. ": table and definition file agree", function()
      local problems = disagreements(m.load(), names)
      if #problems > 0 then error(table.concat(problems, "\n"), 0) end
    end)
  else
    print("skip " .. m.name .. ": not built in this configuration")
  end

  T.case(m.name .. ": docs/" .. m.doc .. " has a section for every function", function()
    local doc = slurp(src .. "/docs/" .. m.doc)
    local missing = {}
    for name, kind in pairs(names) do
      if kind == "function" and not doc:find("\n### " .. name .. "%(") then
        missing[#missing + 1] = name
      end
    end
    table.sort(missing)
    T.eq(table.concat(missing, ", "), "", "functions without a section")
  end)
end

-- The check itself: a function added to a table without a definition, one
-- removed, and one of the wrong kind are each reported by name.
T.case("the check reports an undeclared, a missing and a mistyped name", function()
  local _, names = declarations(src .. "/types/memory.lua")
  local memory = T.memory()
  local copy = {}
  for k, v in pairs(memory) do copy[k] = v end
  copy.extra = function() end
  copy.free = nil
  copy.size = 4
  T.eq(table.concat(disagreements(copy, names), "\n"),
       "extra (function) has no definition\n" ..
       "free is declared but not in the table\n" ..
       "size is a number but is declared as a function", "report")
  T.eq(#disagreements(memory, names), 0, "disagreements of the real table")
end)

T.finish()
