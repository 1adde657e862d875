-- Helpers shared by the win32 tests: the module (and its test build with the
-- failure seam), the child program, handle counting and draining pipes.
local ffi = require("ffi")
local T = require("testlib")

ffi.cdef[[
typedef void* HANDLE;
HANDLE GetCurrentProcess(void);
int GetProcessHandleCount(HANDLE process, uint32_t* count);
int GetHandleInformation(HANDLE h, uint32_t* flags);
uint32_t GetCurrentProcessId(void);
HANDLE CreateJobObjectW(void* attributes, const uint16_t* name);
int CloseHandle(HANDLE h);
int SetStdHandle(uint32_t which, HANDLE h);
HANDLE GetStdHandle(uint32_t which);
HANDLE CreateFileW(const uint16_t* name, uint32_t access, uint32_t share, void* sa,
                   uint32_t disposition, uint32_t flags, HANDLE templ);
int SetEnvironmentVariableA(const char* name, const char* value);
typedef struct {
  int64_t TotalUserTime, TotalKernelTime, ThisPeriodTotalUserTime, ThisPeriodTotalKernelTime;
  uint32_t TotalPageFaultCount, TotalProcesses, ActiveProcesses, TotalTerminatedProcesses;
} JOBOBJECT_BASIC_ACCOUNTING_INFORMATION;
int QueryInformationJobObject(HANDLE job, int klass, void* info, uint32_t size, uint32_t* ret);
typedef struct {
  uint32_t cb; uint32_t PageFaultCount; size_t PeakWorkingSetSize, WorkingSetSize,
  QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage, QuotaPeakNonPagedPoolUsage,
  QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage;
} PROCESS_MEMORY_COUNTERS;
int K32GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, uint32_t cb);
int MultiByteToWideChar(uint32_t cp, uint32_t flags, const char* s, int n, uint16_t* w, int wn);
int WideCharToMultiByte(uint32_t cp, uint32_t flags, const uint16_t* w, int wn, char* s, int n,
                        const char* def, int* used);
int CreateDirectoryW(const uint16_t* path, void* sa);
int RemoveDirectoryW(const uint16_t* path);
int CopyFileW(const uint16_t* from, const uint16_t* to, int fail_if_exists);
int DeleteFileW(const uint16_t* path);
]]

local W = { T = T, ffi = ffi }

local bin = assert(os.getenv("LUAMODS_BIN"), "LUAMODS_BIN is not set")

-- A Linux path as Windows programs under Wine name it (drive Z: maps /).
function W.winpath(p)
  if p:match("^/") then return "Z:" .. p:gsub("/", "\\") end
  return p
end

W.bin = bin
W.child = W.winpath(bin .. "/win32_child.exe")
W.host_exe = W.winpath(bin .. "/luamods_host.exe")
W.here = (arg and arg[0] or ""):match("^(.*[/\\])") or "./"

function W.module() return T.load("Pellor", "luaopen_win32") end

-- How long a test waits for a child to end or a pipe to drain before it
-- gives up, in milliseconds for `wait` (see T.PATIENCE: no verdict depends
-- on how soon it happens).
W.PATIENCE_MS = T.PATIENCE * 1000
-- A child that outlives any test that starts it: the test ends it itself.
W.SLEEPER = "sleep:" .. 5 * W.PATIENCE_MS

-- The test build: the module and the table that drives its failure seam.
function W.faults_build()
  return T.load("PellorFaults", "luaopen_win32"), T.load("PellorFaults", "luaopen_win32_faults")
end

-- The child's command line with the given steps.
function W.cmd(...)
  return '"' .. W.child .. '" ' .. table.concat({ ... }, " ")
end

-- Open handles of this process.  Wine reports 0 from GetProcessHandleCount,
-- so there the handle table is probed: handle values are multiples of 4 and
-- the lowest free value is reused first, so a leak shows below the limit.
local probe_limit = 16384
function W.handle_count()
  local n = ffi.new("uint32_t[1]")
  assert(ffi.C.GetProcessHandleCount(ffi.C.GetCurrentProcess(), n) ~= 0)
  if n[0] > 0 then return n[0] end
  local flags, count, highest = ffi.new("uint32_t[1]"), 0, 0
  for h = 4, probe_limit, 4 do
    if ffi.C.GetHandleInformation(ffi.cast("HANDLE", h), flags) ~= 0 then
      count, highest = count + 1, h
    end
  end
  assert(highest < probe_limit - 256, "handle values reach the probe limit")
  return count
end

-- The open handle values with their object type names (for diagnostics).
ffi.cdef[[
int NtQueryObject(HANDLE h, int klass, void* info, uint32_t size, uint32_t* needed);
]]
function W.handle_types()
  local ntdll = ffi.load("ntdll")
  local flags, buf, out = ffi.new("uint32_t[1]"), ffi.new("uint8_t[1024]"), {}
  for h = 4, probe_limit, 4 do
    if ffi.C.GetHandleInformation(ffi.cast("HANDLE", h), flags) ~= 0 then
      local name = "?"
      if ntdll.NtQueryObject(ffi.cast("HANDLE", h), 2, buf, 1024, nil) == 0 then
        -- OBJECT_TYPE_INFORMATION starts with a UNICODE_STRING.
        local len = ffi.cast("uint16_t*", buf)[0] / 2
        local p = ffi.cast("uint16_t**", buf + 8)[0]
        local t = {}
        for i = 0, len - 1 do t[#t + 1] = string.char(p[i] % 128) end
        name = table.concat(t)
      end
      out[h] = name
    end
  end
  return out
end

function W.private_bytes()
  local c = ffi.new("PROCESS_MEMORY_COUNTERS")
  c.cb = ffi.sizeof(c)
  assert(ffi.C.K32GetProcessMemoryInfo(ffi.C.GetCurrentProcess(), c, c.cb) ~= 0)
  return tonumber(c.PagefileUsage)
end

-- UTF-8 to a NUL-terminated UTF-16 buffer, and back.
function W.wide(s)
  local n = ffi.C.MultiByteToWideChar(65001, 0, s, #s, nil, 0)
  local buf = ffi.new("uint16_t[?]", n + 1)
  ffi.C.MultiByteToWideChar(65001, 0, s, #s, buf, n)
  return buf
end

function W.utf8(wide)
  if wide == nil then return nil end
  local n = 0
  while wide[n] ~= 0 do n = n + 1 end
  if n == 0 then return "" end
  local bytes = ffi.C.WideCharToMultiByte(65001, 0, wide, n, nil, 0, nil, nil)
  local buf = ffi.new("char[?]", bytes)
  ffi.C.WideCharToMultiByte(65001, 0, wide, n, buf, bytes, nil, nil)
  return ffi.string(buf, bytes)
end

function W.job()
  local h = ffi.C.CreateJobObjectW(nil, nil)
  assert(h ~= nil)
  return tonumber(ffi.cast("intptr_t", h))
end

function W.job_active(job)
  local info = ffi.new("JOBOBJECT_BASIC_ACCOUNTING_INFORMATION")
  assert(ffi.C.QueryInformationJobObject(ffi.cast("HANDLE", job), 1, info, ffi.sizeof(info), nil) ~= 0)
  return info.ActiveProcesses
end

-- Reads a pipe to its end: the bytes, and the code that ended it.
function W.drain(w, h, seconds)
  local parts = {}
  local deadline = host.clock() + (seconds or T.PATIENCE)
  while true do
    local s, code = w.read(h)
    if s == nil then return table.concat(parts), code end
    if s == "" then
      if host.clock() > deadline then error("pipe not drained in time", 2) end
      host.sleep(0.001)
    else
      parts[#parts + 1] = s
    end
  end
end

-- w.spawn, tried again while it fails with 1359: Wine on a loaded machine
-- now and then fails a CreateProcess with that code (internal error), and
-- nothing is left open then (docs/wine-differences.md).
function W.spawn(w, request)
  local deadline = host.clock() + T.PATIENCE
  while true do
    local r, code, msg = w.spawn(request)
    if r or code ~= 1359 or host.clock() > deadline then return r, code, msg end
  end
end

-- Runs the child with the steps; returns stdout, stderr, exit code.
function W.run(w, request)
  request.stdout = request.stdout or "pipe"
  request.stderr = request.stderr or "pipe"
  local r = assert(w.spawn(request))
  local out = r.stdout and W.drain(w, r.stdout) or nil
  local err = r.stderr and W.drain(w, r.stderr) or nil
  T.eq(w.wait(r.process, W.PATIENCE_MS), true, "child ended")
  local code = w.exit_code(r.process)
  for _, k in ipairs({ "process", "stdin", "stdout", "stderr" }) do
    if r[k] then w.close(r[k]) end
  end
  return out, err, code
end

-- Checks a failure triple: nil, the code, a message.
function W.triple(code, a, b, c, what)
  T.eq(a, nil, (what or "triple") .. " first value")
  T.eq(b, code, (what or "triple") .. " code")
  T.eq(type(c), "string", (what or "triple") .. " message type")
  T.truthy(#c > 0 and not c:match("[\r\n]$"), "message without trailing CR/LF: " .. c)
end

return W
