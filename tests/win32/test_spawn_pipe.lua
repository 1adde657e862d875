-- spawn, checked from inside the child, and the pipe functions.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local T = W.T
local w = W.module()
local ffi = W.ffi

local NOT_A_HANDLE = "not a handle: 0 (NULL) and -1 (INVALID_HANDLE_VALUE) are never returned by win32"
local CMD = "win32.spawn: spec.command_line is required and must be a non-empty string"

local file_text = T.file_text

local function fnv1a(s)
  local h = 2166136261
  for i = 1, #s do
    h = bit.bxor(h, s:byte(i)) % 4294967296
    -- h * 16777619 mod 2^32, with 16777619 = 2^24 + 403, exact in doubles.
    h = ((h % 256) * 16777216 + h * 403) % 4294967296
  end
  return bit.tohex(h)
end

-- Checks that fn raises an argument error about a jobs entry; the host
-- names the entry's absolute stack slot, which is the module's own business.
local function raises_entry_error(message, request)
  local ok, err = pcall(w.spawn, request)
  T.eq(ok, false)
  T.truthy(err:match("^bad argument #%d+ to '%?' %(") and err:sub(-#message - 1) == message .. ")",
    "entry error: " .. tostring(err))
end

-- Lines the child printed, as a list.
local function lines(s)
  local t = {}
  for l in s:gmatch("([^\n]*)\n") do t[#t + 1] = l end
  return t
end

-- Variables Wine adds to every custom environment block.
local WINE_ADDS = { WINEDATADIR = 1, WINEHOMEDIR = 1, WINECONFIGDIR = 1, WINELOADER = 1,
  WINEUSERNAME = 1, WINEUSERLOCALE = 1, SystemDrive = 1, SystemRoot = 1 }
local function without_wine(list)
  local t = {}
  for _, l in ipairs(list) do
    local name = l:match("^([^=]*)=")
    if not (WINE_ADDS[name] or (name and name:match("^WINEDLLDIR%d+$"))) then t[#t + 1] = l end
  end
  return t
end

T.case("spawn: every error of a malformed request, in order, before anything exists", function()
  local before = W.handle_count()
  local c = W.cmd("exit:0")
  T.raises(T.argerror(1, "?", "table expected, got no value"), w.spawn)
  T.raises(T.argerror(1, "?", "table expected, got string"), w.spawn, c)
  T.raises(CMD, w.spawn, {})
  T.raises(CMD, w.spawn, { command_line = 5 })
  T.raises(CMD, w.spawn, { command_line = "" })
  T.raises(CMD, w.spawn, { command_line = "", cwd = "", stdin = "bad" })
  T.raises("win32.spawn: spec.cwd is not valid UTF-8", w.spawn, { command_line = c, cwd = "", stdin = "bad" })
  raises_entry_error("number expected, got string", { command_line = c, jobs = { "x" } })
  raises_entry_error(NOT_A_HANDLE, { command_line = c, jobs = { 12, 0 }, stdin = "bad" })
  raises_entry_error(NOT_A_HANDLE, { command_line = c, jobs = { -1 } })
  raises_entry_error("integer expected, got NaN", { command_line = c, jobs = { 0 / 0 } })
  T.raises('win32.spawn: stdin must be "pipe", "null", got "file"', w.spawn,
    { command_line = c, stdin = "file", stdout = "bad" })
  T.raises('win32.spawn: stdout must be "pipe", "null" or {append=path}, got "PIPE"', w.spawn,
    { command_line = c, stdout = "PIPE", stderr = 1 })
  T.raises('win32.spawn: stderr must be "pipe", "null" or {append=path}, got "stdout "', w.spawn,
    { command_line = c, stderr = "stdout " })
  T.raises("win32.spawn: stdin does not take {append=path}", w.spawn,
    { command_line = c, stdin = { append = "x.txt" } })
  T.raises("win32.spawn: stdin does not take {append=path}", w.spawn, { command_line = c, stdin = {} })
  T.raises("win32.spawn: stdout={append=path} needs a UTF-8 path", w.spawn, { command_line = c, stdout = {} })
  T.raises("win32.spawn: stderr={append=path} needs a UTF-8 path", w.spawn,
    { command_line = c, stderr = { append = "" } })
  T.raises("win32.spawn: stdout must be a string or {append=path}", w.spawn, { command_line = c, stdout = 1 })
  T.raises("win32.spawn: stdin must be a string or {append=path}", w.spawn, { command_line = c, stdin = true })
  T.raises("win32.spawn: stderr must be a string or {append=path}", w.spawn,
    { command_line = c, stderr = print })
  T.eq(W.handle_count(), before, "handles after the errors")
end)

T.case("spawn: text with a zero byte is refused before anything exists; without it, it works", function()
  local file = W.bin .. "/win32_zero_test.txt"
  os.remove(file); os.remove(file .. ".other")
  -- Each row: the message, the request with z in it, and what the child
  -- shows when z is harmless instead of a zero byte.  Without the check the
  -- text would end at the zero byte (the tail of a command line or a path
  -- cut off, an env table left empty so that the child inherits everything).
  local rows = {
    { "spec.command_line contains a zero byte",
      function(z) return { command_line = W.cmd("args", "safe" .. z .. " --dangerous-tail") } end,
      " ", T.hex("safe") .. "\n" .. T.hex("--dangerous-tail") .. "\n" },
    { "spec.cwd contains a zero byte",
      function(z) return { command_line = W.cmd("cwd"), cwd = "C:\\windows" .. z .. "\\system32", stdin = "bad" } end,
      "", "c:\\windows\\system32\n" },
    { "spec.env[2] contains a zero byte",
      function(z) return { command_line = W.cmd("env"), env = { "A=1", "ONLY=1" .. z .. "X=2", 7 }, jobs = { 0 } } end,
      ";", "A=1|ONLY=1;X=2" },
    { "stdout={append=path} contains a zero byte",
      function(z) return { command_line = W.cmd("out:to-file"), stdout = { append = W.winpath(file) .. z .. ".other" } } end,
      "", nil },
    { "stderr={append=path} contains a zero byte",
      function(z) return { command_line = W.cmd("err:to-file"), stdout = "pipe", stderr = { append = W.winpath(file) .. z .. ".other" } } end,
      "", nil },
  }
  for _, row in ipairs(rows) do
    local message, request, harmless, shows = row[1], row[2], row[3], row[4]
    local before = W.handle_count()
    T.raises("win32.spawn: " .. message, w.spawn, request("\0"))
    T.eq(W.handle_count(), before, "nothing created: " .. message)
    T.eq(file_text(file) or file_text(file .. ".other"), nil, "no file: " .. message)
    local fine = request(harmless)
    fine.stdin, fine.jobs = nil, nil
    local out = W.run(w, fine)
    if fine.env then
      out = table.concat(without_wine(lines(out)), "|")
    end
    if shows then
      T.eq(out:lower(), shows:lower(), "works without the zero byte: " .. message)
    else
      T.truthy(file_text(file .. ".other"):match("^to%-file$"), "appended: " .. message)
      os.remove(file .. ".other")
    end
  end
end)

T.case("spawn: the child's runtime parses exactly the arguments that were quoted", function()
  -- Quoted as the C runtime reads a command line: inside quotes, backslashes
  -- are literal except before a quote, where 2n of them stand for n and 2n+1
  -- for n and a literal quote.
  local function quote(a)
    if a ~= "" and not a:find('[ \t\n\v"]') then return a end
    local body = a:gsub('(\\*)"', function(bs) return bs .. bs .. '\\"' end)
    body = body:gsub("(\\+)$", function(bs) return bs .. bs end)
    return '"' .. body .. '"'
  end
  local args = { "plain", "", "two words", 'say "hi"', '"', '""', [[\]], [[back\slash]],
    [[trail\]], [[trail\\]], [[space and trail\]], [[a\"b]], [[a\\"b]], [[a\\\"b]],
    [[\\server\share\]], "tab\there", "", "caf\195\169", "\240\159\152\128 non-BMP \240\144\128\128",
    "-opt=\"x y\"", "end " }
  local quoted = {}
  for i, a in ipairs(args) do quoted[i] = quote(a) end
  local expected = {}
  for i, a in ipairs(args) do expected[i] = T.hex(a) .. "\n" end
  local out, err, code = W.run(w, { command_line = W.cmd("args", table.concat(quoted, " ")) })
  T.eq(err, ""); T.eq(code, 0)
  local got = lines(out)
  T.eq(#got, #args, "argument count")
  for i, a in ipairs(args) do
    T.eq(T.unhex(got[i] or ""), a, "argument " .. i .. " sent as " .. quoted[i])
  end
  T.eq(out, table.concat(expected))
end)

T.case("spawn: the default table has only pid and process; ignored fields", function()
  local r = assert(w.spawn({ command_line = W.cmd("echo", "out:x"), cwd = 5, env = "A=1", jobs = 3 }))
  local keys = {}
  for k in pairs(r) do keys[#keys + 1] = k end
  table.sort(keys)
  T.eq(table.concat(keys, ","), "pid,process")
  T.truthy(r.pid > 0, "pid")
  T.eq(w.wait(r.process, W.PATIENCE_MS), true)
  T.eq(w.exit_code(r.process), 0, "echo of NUL ends at once")
  w.close(r.process)
end)

T.case("spawn: pipes for all three streams, byte for byte", function()
  local all = {}
  for i = 0, 255 do all[#all + 1] = string.char(i) end
  all = table.concat(all)
  local r = assert(w.spawn({ command_line = W.cmd("echo", "errx:00ff0d0a1a"), stdin = "pipe",
    stdout = "pipe", stderr = "pipe" }))
  T.truthy(r.stdin and r.stdout and r.stderr, "three handles")
  T.eq(w.write(r.stdin, all), 256)
  T.eq(w.write(r.stdin, "\r\n\0end"), 6)
  w.close(r.stdin)
  T.eq(W.drain(w, r.stdout), all .. "\r\n\0end")
  T.eq(W.drain(w, r.stderr), "\0\255\r\n\26")
  w.wait(r.process, W.PATIENCE_MS)
  w.close(r.process); w.close(r.stdout); w.close(r.stderr)
end)

T.case("spawn: stderr = \"stdout\" shares one pipe", function()
  local r = assert(w.spawn({ command_line = W.cmd("out:A", "err:B", "out:C", "err:D"),
    stdout = "pipe", stderr = "stdout" }))
  T.eq(r.stderr, nil, "no stderr field")
  T.eq(W.drain(w, r.stdout), "ABCD")
  w.wait(r.process, W.PATIENCE_MS)
  w.close(r.process); w.close(r.stdout)
end)

T.case("spawn: append files, created when missing, grown when present", function()
  local path = W.bin .. "/win32_append_test.txt"
  os.remove(path)
  local wp = W.winpath(path)
  local _, _, code = W.run(w, { command_line = W.cmd("out:one", "err:two"), stdout = { append = wp },
    stderr = "stdout" })
  T.eq(code, 0)
  T.eq(file_text(path), "onetwo")
  W.run(w, { command_line = W.cmd("out:three", "err:four"), stdout = { append = wp }, stderr = { append = wp } })
  T.eq(file_text(path), "onetwothreefour")
  -- stdout to NUL, stderr appended.
  W.run(w, { command_line = W.cmd("out:lost", "err:five"), stdout = "null", stderr = { append = wp } })
  T.eq(file_text(path), "onetwothreefourfive")
  os.remove(path)
  -- A directory that does not exist: the failure triple.
  W.triple(3, w.spawn({ command_line = W.cmd("exit:0"), stdout = { append = "Z:\\no\\such\\dir\\f.txt" } }))
end)

T.case("spawn: the child's environment is exactly the block built from env", function()
  local env = { "b=1", "A=2", "PATH=x", "Path=y", "A_B=3", "AB=4", 5, true, "noequals", "",
    "multi=a=b", "=C:=C:\\x", "\195\164=lower", "\195\132=upper", "A=last" }
  env.KEY = "ignored=1"
  local out = W.run(w, { command_line = W.cmd("env"), env = env })
  T.eq(table.concat(without_wine(lines(out)), "|"),
    "=C:=C:\\x|A=last|A_B=3|AB=4|b=1|multi=a=b|Path=y|\195\132=upper|\195\164=lower")
end)

T.case("spawn: env with no usable entry inherits the caller's environment", function()
  for _, env in ipairs({ {}, { "noequals" }, { "", 7 } }) do
    local out = W.run(w, { command_line = W.cmd("env"), env = env })
    T.truthy(out:find("LUAMODS_BIN=", 1, true), "inherited LUAMODS_BIN")
  end
  local out = W.run(w, { command_line = W.cmd("env"), env = { "ONLY=1" } })
  T.truthy(not out:find("LUAMODS_BIN=", 1, true), "own block replaces the environment")
end)

T.case("spawn: cwd", function()
  local out = W.run(w, { command_line = W.cmd("cwd"), cwd = "C:\\windows" })
  T.eq(out:lower(), "c:\\windows\n")
  W.triple(267, w.spawn({ command_line = W.cmd("cwd"), cwd = W.winpath(W.bin .. "/win32_child.exe") }))
end)

T.case("spawn: jobs, jobs_assigned and job_error; creation flags", function()
  local job = W.job()
  local r = assert(w.spawn({ command_line = W.cmd(W.SLEEPER), jobs = { job } }))
  T.eq(r.jobs_assigned, 1)
  T.eq(r.job_error, nil)
  T.eq(W.job_active(job), 1, "the child is in the job")
  T.eq(w.exit_code(r.process), "running", "resumed")
  w.terminate(r.process); w.wait(r.process, W.PATIENCE_MS); w.close(r.process)

  -- A handle that is not a job: the launch still succeeds.
  local pipe = assert(w.spawn({ command_line = W.cmd("exit:0"), stdout = "pipe" }))
  r = assert(w.spawn({ command_line = W.cmd("out:ran"), stdout = "pipe", jobs = { pipe.stdout, job } }))
  T.eq(r.jobs_assigned, 1)
  T.eq(r.job_error, 6)
  T.eq(W.drain(w, r.stdout), "ran")
  w.wait(r.process, W.PATIENCE_MS); w.close(r.process); w.close(r.stdout)
  r = assert(w.spawn({ command_line = W.cmd("exit:3"), jobs = { pipe.stdout } }))
  T.eq(r.jobs_assigned, 0)
  T.eq(r.job_error, 6)
  w.wait(r.process, W.PATIENCE_MS)
  T.eq(w.exit_code(r.process), 3)
  w.close(r.process); w.close(pipe.stdout); w.wait(pipe.process, W.PATIENCE_MS); w.close(pipe.process)

  r = assert(w.spawn({ command_line = W.cmd("exit:0"), jobs = {} }))
  T.eq(r.jobs_assigned, nil, "empty list: no job fields")
  w.wait(r.process, W.PATIENCE_MS); w.close(r.process)

  local _, _, code = W.run(w, { command_line = W.cmd("exit:5"), new_group = true, no_window = 1 })
  T.eq(code, 5)
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job))
end)

T.case("read: empty pipe without waiting, max 0, max 10, huge max, 109 at the end", function()
  -- The child writes only once its standard input has ended: until then
  -- the pipe is empty, and a read that waited would never return.
  local r = assert(w.spawn({ command_line = W.cmd("wait", "outn:100", "sleep:300"), stdin = "pipe",
    stdout = "pipe" }))
  T.eq(w.read(r.stdout), "")
  T.eq(select("#", w.read(r.stdout)), 1)
  T.eq(w.peek(r.stdout), 0)
  T.raises("win32.read: max must not be negative", w.read, r.stdout, -1)
  -- Wait for the 100 bytes.
  w.close(r.stdin)
  T.wait_until("the child's 100 bytes", function() return w.peek(r.stdout) >= 100 end, nil, 0.005)
  T.eq(w.peek(r.stdout), 100)
  T.eq(w.read(r.stdout, 0), "")
  local ten = w.read(r.stdout, 10)
  T.eq(#ten, 10)
  T.eq(ten:byte(10), 9)
  T.eq(w.peek(r.stdout), 90)
  local rest = w.read(r.stdout, 2 ^ 70)
  T.eq(#rest, 90)
  T.eq(rest:byte(1), 10)
  T.eq(w.wait(r.process, W.PATIENCE_MS), true)
  W.triple(109, w.read(r.stdout))
  W.triple(109, w.read(r.stdout, 0))
  W.triple(109, w.peek(r.stdout))
  w.close(r.process); w.close(r.stdout)
  -- read of a handle that is not a pipe.
  local job = W.job()
  W.triple(6, w.read(job))
  W.ffi.C.CloseHandle(W.ffi.cast("HANDLE", job))
end)

T.case("read: without max at most 65536 bytes", function()
  local r = assert(w.spawn({ command_line = W.cmd("outn:200000"), stdout = "pipe" }))
  local got, biggest = 0, 0
  while true do
    local s, code = w.read(r.stdout)
    if not s then T.eq(code, 109); break end
    got = got + #s
    if #s > biggest then biggest = #s end
  end
  T.eq(got, 200000)
  T.truthy(biggest <= 65536, "at most 65536 per read")
  w.wait(r.process, W.PATIENCE_MS); w.close(r.process); w.close(r.stdout)
end)

T.case("write: \"\", numbers, 8 MiB into a child that reads it all", function()
  local r = assert(w.spawn({ command_line = W.cmd("count"), stdin = "pipe", stdout = "pipe" }))
  T.eq(w.write(r.stdin, ""), 0)
  T.eq(w.write(r.stdin, 123), 3)
  local chunk = {}
  for i = 0, 4095 do chunk[#chunk + 1] = string.char((i * 7) % 256) end
  local big = string.rep(table.concat(chunk), 2048)  -- 8 MiB
  T.eq(w.write(r.stdin, big), 8388608)
  w.close(r.stdin)
  local out = W.drain(w, r.stdout)
  T.eq(out, string.format("%d %s", 3 + #big, fnv1a("123" .. big)))
  w.wait(r.process, W.PATIENCE_MS); w.close(r.process); w.close(r.stdout)
  T.raises(T.argerror(2, "?", "string expected, got no value"), w.write, r.stdout)
end)

T.case("write: into a pipe whose reader has gone", function()
  local r = assert(w.spawn({ command_line = W.cmd("exit:0"), stdin = "pipe" }))
  w.wait(r.process, W.PATIENCE_MS)
  W.triple(232, w.write(r.stdin, "data"))
  w.close(r.stdin); w.close(r.process)
end)

local function probe(spec_stdin, before, args)
  local cmd = '"' .. W.host_exe .. '" "' .. W.winpath(W.here .. "probe.lua") .. '" stdin ' .. (args or "")
  local r = assert(w.spawn({ command_line = cmd, stdin = spec_stdin, stdout = "pipe", stderr = "pipe" }))
  if before then before(r) end
  local out = W.drain(w, r.stdout)
  local err = W.drain(w, r.stderr)
  w.wait(r.process, W.PATIENCE_MS)
  for _, k in ipairs({ "process", "stdin", "stdout", "stderr" }) do if r[k] then w.close(r[k]) end end
  T.eq(err, "", "probe stderr")
  return out
end

T.case("stdin_state of a host started with a pipe and with NUL", function()
  T.eq(probe("null"), "other")
  local held
  T.eq(probe("pipe", function(r) held = r.stdin; r.stdin = nil end), "idle")
  w.close(held)
  T.eq(probe("pipe", function(r) w.write(r.stdin, "x") end, "wait"), "data")
  T.eq(probe("pipe", function(r) w.close(r.stdin); r.stdin = nil end, "wait"), "eof")
end)

T.case("stdin_state with a file and without a standard input", function()
  local STD_INPUT = 4294967286  -- (DWORD)-10
  local saved = ffi.C.GetStdHandle(STD_INPUT)
  local path = W.bin .. "/win32_stdin_test.txt"
  local f = assert(io.open(path, "wb")); f:write("content"); f:close()
  local h = ffi.C.CreateFileW(W.wide(W.winpath(path)), 0x80000000, 1, nil, 3, 0, nil)
  T.truthy(h ~= ffi.cast("HANDLE", -1), "file opened")
  ffi.C.SetStdHandle(STD_INPUT, h)
  local with_file = w.stdin_state()
  ffi.C.SetStdHandle(STD_INPUT, nil)
  local without = w.stdin_state()
  ffi.C.SetStdHandle(STD_INPUT, saved)
  ffi.C.CloseHandle(h)
  os.remove(path)
  T.eq(with_file, "other")
  T.eq(without, "eof")
end)

T.finish()
