-- Run by the tests as a child host; writes one answer to standard output.
--   probe.lua stdin [wait]       what stdin_state says (with "wait": the first
--                                state other than "idle", within T.PATIENCE)
--   probe.lua module_path        module_path()
--   probe.lua breakaway MS       spawns the test child (sleep:MS) with
--                                breakaway = true through the test build and
--                                writes "pid <pid> attempts <n>" or "failed <code>"
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local action = arg[1]

if action == "stdin" then
  local w = W.module()
  local state = w.stdin_state()
  if arg[2] == "wait" then
    local deadline = host.clock() + W.T.PATIENCE
    while state == "idle" and host.clock() < deadline do
      host.sleep(0.005)
      state = w.stdin_state()
    end
  end
  io.write(state)
elseif action == "module_path" then
  io.write(assert(W.module().module_path()))
elseif action == "breakaway" then
  local w, faults = W.faults_build()
  faults.reset()
  local r, code = w.spawn({ command_line = W.cmd("sleep:" .. arg[2]), breakaway = true })
  if r then
    io.write("pid ", r.pid, " attempts ", faults.calls("CreateProcessW"))
    w.close(r.process)
  else
    io.write("failed ", code)
  end
else
  error("probe: unknown action " .. tostring(action))
end
