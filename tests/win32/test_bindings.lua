-- The test build (PellorFaults) in a fresh process: the one-time bindings
-- under concurrent first use, the clean-up paths of the clipboard functions
-- and the doubling buffer of module_path.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local T = W.T
local w, faults = W.faults_build()

-- Threads that load the test build, wait for a common start time and make
-- their first call of `fn` there.
local function at_once(calls)
  local code = [[
    local path, start, what = ...
    package.path = path
    local W = require("w32")
    local w = W.faults_build()
    while host.clock() < start do end
    if what == "key_down" then return w.key_down(65) end
    -- Two threads that open the clipboard at once contend for it like two
    -- programs; either outcome is fine here, only the binding counts.
    if what == "clipboard_get" then local text, code = w.clipboard_get(); return type(text or code) end
    if what == "setenv" then return (w.setenv("LUAMODS_BIND_" .. tostring(start), "1")) end
    error("unknown call " .. what)
  ]]
  local start = host.clock() + 0.5
  local threads = {}
  for i, what in ipairs(calls) do threads[i] = host.start(code, package.path, start, what) end
  local results = {}
  for i, t in ipairs(threads) do
    local ok, value = host.join(t)
    T.truthy(ok, "thread " .. i .. ": " .. tostring(value))
    results[i] = value
  end
  return results
end

T.case("4 threads' first key_down/clipboard_get fill User32Bindings once", function()
  local user32_fills, crt_fills = faults.bindings()
  T.eq(user32_fills, 0, "nothing bound before")
  T.eq(crt_fills, 0)
  local r = at_once({ "key_down", "clipboard_get", "key_down", "clipboard_get" })
  T.eq(r[1], false, "key not held")
  T.truthy(r[2] == "string" or r[2] == "number", "clipboard text or failure code")
  T.eq((faults.bindings()), 1)
  T.eq(w.key_down(65), false)
  T.eq((faults.bindings()), 1)
end)

T.case("4 threads' first setenv bind _wputenv_s once", function()
  local r = at_once({ "setenv", "setenv", "setenv", "setenv" })
  for i = 1, 4 do T.eq(r[i], true, "setenv in thread " .. i) end
  T.eq(select(2, faults.bindings()), 1)
  local a, b = w.setenv("LUAMODS_BIND_AFTER", "x")
  T.eq(a, true); T.eq(b, true)
  T.eq(select(2, faults.bindings()), 1)
end)

-- Whether another process can open the clipboard now: every path must have
-- closed it.
local function clipboard_free()
  local out = W.run(w, { command_line = W.cmd("clipboard:0") })
  return out == "held"
end

T.case("clipboard_set: every failure path reports its code and closes the clipboard", function()
  T.eq(w.clipboard_set("kept"), true)
  for _, c in ipairs({ { "EmptyClipboard", 1418 }, { "GlobalAlloc", 8 }, { "GlobalLock", 158 },
                       { "SetClipboardData", 1418 } }) do
    faults.reset()
    faults.fail(c[1], c[2])
    W.triple(c[2], w.clipboard_set("lost"))
    faults.reset()
    T.truthy(clipboard_free(), "clipboard closed after " .. c[1])
  end
  -- After EmptyClipboard succeeded, a later failure leaves it empty.
  T.eq(w.clipboard_get(), "")
  faults.reset()
  faults.throw("GlobalAlloc")
  T.raises("win32.clipboard_set failed: std::bad_alloc", w.clipboard_set, "x")
  faults.reset()
  T.truthy(clipboard_free(), "clipboard closed after an exception")
end)

T.case("clipboard_get: no text, failures, and the clipboard closed each time", function()
  T.eq(w.clipboard_set("text"), true)
  faults.fail("GetClipboardData", 0)
  T.eq(w.clipboard_get(), "", "no text and no code")
  faults.reset()
  faults.fail("GetClipboardData", 1418)
  W.triple(1418, w.clipboard_get())
  faults.reset()
  faults.fail("GlobalLock", 158)
  W.triple(158, w.clipboard_get())
  faults.reset()
  T.truthy(clipboard_free(), "clipboard closed")
  T.eq(w.clipboard_get(), "text")
end)

T.case("module_path: the buffer doubles up to 8 attempts, then 122", function()
  local real = assert(w.module_path())
  faults.reset()
  faults.fail("GetModuleFileNameW", 122, 3)
  T.eq(w.module_path(), real)
  T.eq(faults.calls("GetModuleFileNameW"), 4)
  faults.reset()
  faults.fail("GetModuleFileNameW", 122, 8)
  W.triple(122, w.module_path())
  T.eq(faults.calls("GetModuleFileNameW"), 8)
  faults.reset()
  faults.fail("GetModuleFileNameW", 5)
  W.triple(5, w.module_path())
  faults.reset()
end)

T.finish()
