-- The examples of the reference docs: every file in examples/docs/ runs in a
-- fresh Lua state on its own thread (skipped when a module it needs is not
-- built here), and every copy of an example in a page of docs/ is the file
-- byte for byte.
--   test_doc_examples.lua <source dir> <module>... -- <example file>...
local T = require("testlib")

local src = assert(arg[1], "source dir expected")
local built, files = {}, {}
local list = built
for i = 2, #arg do
  if arg[i] == "--" then list = files
  elseif list == built then built[arg[i]] = true
  else files[#files + 1] = arg[i] end
end

local function slurp(path) return assert(T.file_text(path), path) end

for _, file in ipairs(files) do
  local path = src .. "/examples/docs/" .. file
  local needs = slurp(path):match("^%-%- needs: ([^\n]+)")
  assert(needs, file .. ": no \"-- needs:\" first line")
  local missing
  for module in needs:gmatch("[%w_.]+") do
    if not built[module] then missing = module end
  end
  if missing then
    print("skip " .. file .. ": " .. missing .. " is not built in this configuration")
  elseif needs:find("threads") then
    print("skip " .. file .. ": runs on the stock interpreter (ecosystem.example.*)")
  else
    T.case("example " .. file .. " runs", function()
      if needs:find("win32") then
        -- Under Wine a host thread that got a win32 failure triple is never
        -- joined (seen: the thread does not end after its chunk returns), so
        -- the win32 examples run in this state.
        dofile(path)
      else
        local ok, err = host.run({ file = path })
        assert(ok, err)
      end
    end)
  end
end

T.case("the docs quote the example files exactly", function()
  local quoted = 0
  for _, page in ipairs({ "install.md", "memory.md", "memory-fast.md", "memory-queue.md", "threads.md", "crypto.md", "win32.md" }) do
    local text = slurp(src .. "/docs/" .. page)
    for name, body in text:gmatch("<!%-%- example: ([%w_./-]+) %-%->\n```lua\n(.-)```") do
      T.eq(body, slurp(src .. "/" .. name), page .. ": the copy of " .. name)
      quoted = quoted + 1
    end
  end
  T.truthy(quoted >= #files, "every example is quoted (" .. quoted .. " copies)")
end)

T.finish()
