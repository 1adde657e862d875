-- needs: win32
-- A child ended by closing its kill-on-close job exits with code 0, the code
-- of a success, on Windows and under Wine.  To know that the close ended
-- something, ask the job before closing it; to see it in the exit code, end
-- the job yourself with a code of your own first.
local win32 = require("win32")

local function start_waiting_child(job)
  -- cmd waits for a line on its standard input, which never comes.
  return assert(win32.spawn({ command_line = "cmd /c set /p line=",
                              stdin = "pipe", jobs = { job } }))
end

-- Closing the job: the child's exit code says nothing.
local job = assert(win32.job_create({ kill_on_close = true }))
local child = start_waiting_child(job)
local running = win32.job_active_count(job)    -- what the close is about to end
assert(running >= 1)
win32.close(job)
assert(win32.wait(child.process) == true)
assert(win32.exit_code(child.process) == 0)    -- as if it had succeeded
win32.close(child.stdin); win32.close(child.process)

-- Ending the job with a code of your own, then closing it.
local ENDED_BY_US = 0xC000013A   -- STATUS_CONTROL_C_EXIT: "ended from outside"
job = assert(win32.job_create({ kill_on_close = true }))
child = start_waiting_child(job)
assert(win32.job_terminate(job, ENDED_BY_US))
assert(win32.wait(child.process) == true)
assert(win32.exit_code(child.process) == ENDED_BY_US)
win32.close(job)
win32.close(child.stdin); win32.close(child.process)
print("job exit codes: ok, " .. running .. " process(es) ended by the close")
