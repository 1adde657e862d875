-- Run by test_spawn_pipe.lua as a child host: writes what stdin_state says.
-- With "wait", polls until the state is no longer "idle" (at most 10 s).
local T = require("testlib")
local w = T.load("Pellor", "luaopen_win32")
local state = w.stdin_state()
if arg[1] == "wait" then
  local deadline = host.clock() + 10
  while state == "idle" and host.clock() < deadline do
    host.sleep(0.005)
    state = w.stdin_state()
  end
end
io.stdout:write(state)
