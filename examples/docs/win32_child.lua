-- needs: win32
-- A child process in a kill-on-close job, its output read through a pipe
-- without blocking.  Every handle returned is the script's to close.
local win32 = require("win32")

local job = assert(win32.job_create({ kill_on_close = true }))
local child, code, message = win32.spawn({
  command_line = "cmd /c echo hello from the child",
  stdout = "pipe", stderr = "stdout", no_window = true, jobs = { job },
})
assert(child, message)
assert(child.jobs_assigned == 1)

local output = {}
while true do
  local data, err = win32.read(child.stdout)   -- "" when nothing is there yet
  if data == nil then
    assert(err == 109)                         -- drained and the child is gone
    break
  end
  output[#output + 1] = data
  if data == "" then win32.wait(child.process, 10) end   -- nothing yet: wait up to 10 ms
end
assert(win32.wait(child.process) == true)
assert(win32.exit_code(child.process) == 0)
assert(table.concat(output):find("hello from the child", 1, true))
win32.close(child.stdout)
win32.close(child.process)
win32.close(job)                               -- would end anything left in it
print("win32: ok")
