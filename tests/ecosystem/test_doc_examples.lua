-- The examples of the reference docs: every file in examples/docs/ starts
-- with a "-- needs:" line naming the modules it loads (with require: the one
-- way of loading the examples show), and every copy of an example in a page
-- of docs/ is the file byte for byte.  The examples themselves run on the
-- stock interpreter, one test each (ecosystem.example.*, tests/ecosystem/CMakeLists.txt).
--   test_doc_examples.lua <source dir> <module>... -- <example file>...
local T = require("testlib")

local src = assert(arg[1], "source dir expected")
local files = {}
local seen_separator = false
for i = 2, #arg do
  if arg[i] == "--" then seen_separator = true
  elseif seen_separator then files[#files + 1] = arg[i] end
end

local function slurp(path) return assert(T.file_text(path), path) end

local KNOWN = { memory = true, ["memory.queue"] = true, ["memory.fast"] = true,
                ["memory.queue.fast"] = true, threads = true, crypto = true, win32 = true }

T.case("every example names the modules it needs and loads them with require", function()
  local problems = {}
  for _, file in ipairs(files) do
    local text = slurp(src .. "/examples/docs/" .. file)
    local needs = text:match("^%-%- needs: ([^\n]+)")
    if not needs then
      problems[#problems + 1] = file .. ": no \"-- needs:\" first line"
    else
      for module in needs:gmatch("%S+") do
        if not KNOWN[module] then problems[#problems + 1] = file .. ": unknown module " .. module end
      end
    end
    for line in text:gmatch("[^\n]+") do
      if line:find("package.loadlib", 1, true) and not line:match("^%s*%-%-") then
        problems[#problems + 1] = file .. ": package.loadlib in code: " .. line
      end
    end
  end
  T.eq(table.concat(problems, "\n"), "", "examples")
end)

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
