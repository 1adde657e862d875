-- The LuaLS definition files in types/ against the module tables: every
-- function and field of a loaded table has a definition of the same kind, and
-- every definition names something the table has.  Also: the reference page
-- of each module has a section for every function its definition declares.
--   test_definitions.lua <source dir> <module built in this configuration>...
-- With --luarc, the definition files are the installed ones that the
-- editor configuration <workspace>/.luarc.json names (the sample of
-- docs/install.md, written there by the LuaRocks test), read from there.
--   test_definitions.lua <source dir> --luarc <workspace> <module>...
local T = require("testlib")

local src = assert(arg[1], "source dir expected")
local workspace
local first = 2
if arg[2] == "--luarc" then workspace, first = assert(arg[3], "workspace expected"), 4 end
local built = {}
for i = first, #arg do built[arg[i]] = true end

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

local function slurp(path) return assert(T.file_text(path), path) end

-- A JSON text as Lua values (objects and arrays as tables, null as nil):
-- enough for an editor configuration file.
local function json_decode(text)
  local pos = 1
  local function fail(what) error(("JSON: %s at offset %d"):format(what, pos), 0) end
  local function skip() pos = text:find("[^ \t\r\n]", pos) or #text + 1 end
  local value
  local function str()
    local out = {}
    pos = pos + 1
    while true do
      local c = text:sub(pos, pos)
      if c == "" then fail("unterminated string") end
      if c == '"' then pos = pos + 1; return table.concat(out) end
      if c == "\\" then
        local e = text:sub(pos + 1, pos + 1)
        local simple = { ['"'] = '"', ["\\"] = "\\", ["/"] = "/", b = "\b", f = "\f", n = "\n", r = "\r", t = "\t" }
        if simple[e] then out[#out + 1] = simple[e]; pos = pos + 2
        elseif e == "u" then
          local code = tonumber(text:sub(pos + 2, pos + 5), 16) or fail("bad \\u escape")
          if code > 127 then fail("non-ASCII \\u escape") end
          out[#out + 1] = string.char(code); pos = pos + 6
        else fail("bad escape") end
      else out[#out + 1] = c; pos = pos + 1 end
    end
  end
  function value()
    skip()
    local c = text:sub(pos, pos)
    if c == "{" then
      local t = {}
      pos = pos + 1; skip()
      if text:sub(pos, pos) == "}" then pos = pos + 1; return t end
      while true do
        skip()
        if text:sub(pos, pos) ~= '"' then fail("name expected") end
        local k = str()
        skip()
        if text:sub(pos, pos) ~= ":" then fail("':' expected") end
        pos = pos + 1
        t[k] = value()
        skip()
        local d = text:sub(pos, pos); pos = pos + 1
        if d == "}" then return t end
        if d ~= "," then fail("',' or '}' expected") end
      end
    elseif c == "[" then
      local t = {}
      pos = pos + 1; skip()
      if text:sub(pos, pos) == "]" then pos = pos + 1; return t end
      while true do
        t[#t + 1] = value()
        skip()
        local d = text:sub(pos, pos); pos = pos + 1
        if d == "]" then return t end
        if d ~= "," then fail("',' or ']' expected") end
      end
    elseif c == '"' then return str()
    else
      for word, v in pairs({ ["true"] = true, ["false"] = false, null = false }) do
        if text:sub(pos, pos + #word - 1) == word then
          pos = pos + #word
          if word == "null" then return nil end
          return v
        end
      end
      local num = text:match("^-?%d+%.?%d*[eE]?[-+]?%d*", pos)
      if not num or num == "" then fail("value expected") end
      pos = pos + #num
      return tonumber(num)
    end
  end
  local result = value()
  skip()
  if pos <= #text then fail("text after the value") end
  return result
end

-- A setting of a LuaLS configuration, written flat ("runtime.version") or
-- nested ({"runtime": {"version": ...}}), with or without the "Lua." prefix.
local function setting(config, name)
  for _, key in ipairs({ name, "Lua." .. name }) do
    if config[key] ~= nil then return config[key] end
    local t = config
    for part in key:gmatch("[^.]+") do t = type(t) == "table" and t[part] or nil end
    if t ~= nil then return t end
  end
end

-- The folder of definition files: types/ of the source tree, or the one the
-- workspace's .luarc.json names (checked to say LuaJIT, which the cdata
-- aliases of the definitions need).
local types_dir = src .. "/types"
if workspace then
  T.case("the sample .luarc.json: LuaJIT, and a library folder with every definition file", function()
    local config = json_decode(slurp(workspace .. "/.luarc.json"))
    T.eq(setting(config, "runtime.version"), "LuaJIT", "runtime.version")
    local library = setting(config, "workspace.library")
    T.eq(type(library), "table", "workspace.library")
    local found = {}
    for _, entry in ipairs(library) do
      -- Relative entries are relative to the workspace folder, as LuaLS reads them.
      local dir = entry:match("^/") and entry or workspace .. "/" .. entry
      local f = io.open(dir .. "/memory.lua", "rb")
      if f then f:close(); found[#found + 1] = dir end
    end
    T.eq(#found, 1, "library entries holding the definitions")
    types_dir = found[1]
    print("definitions from " .. types_dir)
  end)
end

-- What a definition file declares on its module table: name -> Lua type,
-- and name -> value for the data fields.  A definition file is Lua that
-- builds and returns the table it describes (functions with empty bodies,
-- fields with their values), so running it gives exactly the declared names,
-- and a syntax error fails here.
local function declarations(path)
  local meta = slurp(path):match("^%-%-%-@meta%s+([%w_.]+)")
  assert(meta, path .. ": the first line is not ---@meta <module>")
  local chunk = assert(loadfile(path))
  local declared = chunk()
  assert(type(declared) == "table", path .. " does not return its module table")
  local names, values = {}, {}
  for name, value in pairs(declared) do
    names[name] = type(value)
    if type(value) ~= "function" then values[name] = value end
  end
  return meta, names, values
end

-- A declared string value is the value itself, or, where it differs from
-- build to build, its form with a placeholder for each part that varies
-- ("libsodium-<version>+openssl-<version>"): a definition file must not pin
-- one build's value.  The table's values against those declarations.
local function wrong_values(module, values)
  local found = {}
  for key, declared in pairs(values) do
    local actual = module[key]
    if type(declared) == "string" and type(actual) == "string" then
      local pattern = "^" .. declared:gsub("[%^%$%(%)%%%.%[%]%*%+%-%?]", "%%%0")
                                     :gsub("<%w+>", "[%%w.~+-]+") .. "$"
      if not actual:match(pattern) then
        found[#found + 1] = key .. " is " .. actual .. ", declared as " .. declared
      end
    elseif actual ~= nil and actual ~= declared then
      found[#found + 1] = key .. " is " .. tostring(actual) .. ", declared as " .. tostring(declared)
    end
  end
  table.sort(found)
  return found
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
  local meta, names, values = declarations(types_dir .. "/" .. m.types)

  T.case(m.name .. ": the definition file declares the module " .. m.name, function()
    T.eq(meta, m.name, "---@meta name")
  end)

  if built[m.name] then
    T.case(m.name .. ": table and definition file agree", function()
      local module = m.load()
      local problems = disagreements(module, names)
      for _, problem in ipairs(wrong_values(module, values)) do problems[#problems + 1] = problem end
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

-- The ---@type lines of the loading snippets (how an editor learns the type
-- of a table opened with package.loadlib) name classes the definitions declare.
T.case("the ---@type lines of examples/docs name declared classes", function()
  local classes, unknown, seen = {}, {}, 0
  for _, m in ipairs(MODULES) do
    for class in slurp(types_dir .. "/" .. m.types):gmatch("%-%-%-@class ([%w_.]+)") do
      classes[class] = true
    end
  end
  for _, file in ipairs({ "load_memory.lua", "load_memory_queue.lua", "load_win32.lua" }) do
    for class in slurp(src .. "/examples/docs/" .. file):gmatch("%-%-%-@type ([%w_.]+)") do
      seen = seen + 1
      if not classes[class] then unknown[#unknown + 1] = file .. ": " .. class end
    end
  end
  T.eq(table.concat(unknown, ", "), "", "undeclared classes")
  T.eq(seen, 4, "---@type lines")
end)

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
