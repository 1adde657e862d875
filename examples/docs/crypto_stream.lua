-- needs: crypto
-- Hashes a file in 64 KiB pieces, as one would a file too large to read
-- whole, and checks the digest against the one-shot function; then a MAC
-- over a message that arrives in parts.
local crypto = require("crypto")

-- This example's own file; any file will do.
local path = debug.getinfo(1, "S").source:match("^@(.*)$")

local state = crypto.sha256_init()
local file = assert(io.open(path, "rb"))
while true do
  local piece = file:read(65536)
  if piece == nil then break end
  state:update(piece)
end
file:close()
local digest = state:final()

file = assert(io.open(path, "rb"))
local whole = file:read("*a")
file:close()
assert(digest == crypto.sha256(whole))

-- update returns the state, so calls chain; final wipes the state, which
-- then refuses any further call.
local key = crypto.random(32)
local mac = crypto.hmac_sha256_init(key):update("header|"):update("body"):final()
assert(mac == crypto.hmac_sha256(key, "header|body"))
local ok, err = pcall(state.update, state, "more")
assert(not ok and err:find("update: state used after final", 1, true))
print("crypto streaming: ok")
