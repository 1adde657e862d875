-- needs: crypto
-- crypto's file name matches its entry point luaopen_crypto: plain require.
local crypto = require("crypto")

local digest = crypto.sha256("abc")
assert(digest:sub(1, 4) == "\xba\x78\x16\xbf")
print("crypto: ok, backend " .. crypto._BACKEND)
