-- needs: threads
-- threads' file name matches its entry point luaopen_threads: plain require.
local threads = require("threads")

local t = threads.start("local a, b = ... return a + b", 2, 3)
local ok, sum = t:join()
assert(ok and sum == 5)
print("threads: ok, 2 + 3 = " .. sum .. " on another thread")
