-- The console functions, twice: "console" runs under a terminal (ctest starts
-- it through script(1)), so the standard handles are a real console; without
-- an argument the test starts itself with its standard streams redirected
-- ("redirected" child) and checks that run's report.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
local W = require("w32")
local T = W.T
local ffi = W.ffi
local w = W.module()
local mode = ...

ffi.cdef[[
typedef struct { int32_t bKeyDown; uint16_t wRepeatCount, wVirtualKeyCode, wVirtualScanCode;
                 uint16_t UnicodeChar; uint32_t dwControlKeyState; } KEY_EVENT_RECORD;
typedef struct { int16_t X, Y; uint32_t dwButtonState, dwControlKeyState, dwEventFlags; } MOUSE_EVENT_RECORD;
typedef struct { uint16_t EventType;
                 union { KEY_EVENT_RECORD Key; MOUSE_EVENT_RECORD Mouse; uint32_t Focus; } Event; } INPUT_RECORD;
int WriteConsoleInputW(HANDLE h, const INPUT_RECORD* records, uint32_t n, uint32_t* written);
]]

local WHICH = 'win32: which must be "in" or "out"'

local function common_argument_errors()
  T.raises(WHICH, w.console_mode, "IN")
  T.raises(WHICH, w.console_mode, "in\0")
  T.raises(T.argerror(1, "?", "string expected, got no value"), w.console_mode)
  -- Both arguments are read before which is judged.
  T.raises(T.argerror(2, "?", "number expected, got string"), w.set_console_mode, "sideways", "x")
  T.raises(WHICH, w.set_console_mode, "sideways", 0)
  T.raises(T.argerror(1, "?", "number expected, got no value"), w.key_down)
  T.eq(w.key_down(0x41), false, "a key not held")
  T.eq(w.key_down(0x41 + 4294967296), false, "low 32 bits")
end

if mode == "console" then
  T.case("a real console: modes read and set", function()
    local c = w.console()
    T.eq(c.input_console, true)
    T.eq(c.output_console, true)
    local input = assert(w.console_mode("in"))
    local output = assert(w.console_mode("out"))
    T.truthy(input >= 0 and output >= 0, "modes")
    local ok, now = w.set_console_mode("in", input)
    T.eq(ok, true)
    T.eq(now, input)
    ok, now = w.set_console_mode("out", output)
    T.eq(ok, true)
    T.eq(now, output)
    common_argument_errors()
  end)

  T.case("console_size: two positive integers", function()
    local cols, rows = w.console_size()
    T.truthy(type(cols) == "number" and cols > 0 and cols == math.floor(cols), "columns " .. tostring(cols))
    T.truthy(type(rows) == "number" and rows > 0 and rows == math.floor(rows), "rows " .. tostring(rows))
  end)

  T.case("console_write counts UTF-16 units", function()
    T.eq(w.console_write("\195\169"), 1, "an accented letter")
    T.eq(w.console_write("\240\159\152\128"), 2, "outside the BMP")
    T.eq(w.console_write(""), 0)
    T.eq(w.console_write("abc\n"), 4)
  end)

  T.case("input events from injected records, every field", function()
    while w.read_console_event() do end  -- whatever the terminal queued
    -- Nothing comes in: a call that waited would never return.
    T.eq(w.read_console_event(), nil, "no event, no wait")
    T.eq(w.read_console_event(false), nil)
    T.eq(w.console_pending(), 0)

    local recs = ffi.new("INPUT_RECORD[5]")
    recs[0].EventType = 1
    recs[0].Event.Key.bKeyDown = 1
    recs[0].Event.Key.wRepeatCount = 1
    recs[0].Event.Key.wVirtualKeyCode = 65
    recs[0].Event.Key.wVirtualScanCode = 30
    recs[0].Event.Key.UnicodeChar = 97
    recs[0].Event.Key.dwControlKeyState = 0x20
    recs[1] = recs[0]
    recs[1].Event.Key.bKeyDown = 0
    recs[2].EventType = 2
    recs[2].Event.Mouse.X = -3
    recs[2].Event.Mouse.Y = 7
    recs[2].Event.Mouse.dwButtonState = 0x2
    recs[2].Event.Mouse.dwControlKeyState = 0x10
    recs[2].Event.Mouse.dwEventFlags = 1
    recs[3].EventType = 4
    recs[4].EventType = 16
    recs[4].Event.Focus = 1
    local n = ffi.new("uint32_t[1]")
    T.truthy(ffi.C.WriteConsoleInputW(ffi.C.GetStdHandle(4294967286), recs, 5, n) ~= 0, "injected")
    T.eq(n[0], 5)
    T.truthy(w.console_pending() >= 5, "five pending")

    local function fields(e)
      local keys = {}
      for k, v in pairs(e) do keys[#keys + 1] = k .. "=" .. tostring(v) end
      table.sort(keys)
      return table.concat(keys, " ")
    end
    -- The terminal console may queue key events of its own (a Shift press,
    -- vk 16) between ours: only keys of vk 65 are ours.
    local function next_event(wait)
      while true do
        local e = w.read_console_event(wait)
        if not (e and e.type == "key" and e.vk ~= 65) then return e end
      end
    end
    T.eq(fields(next_event()), "char=97 down=true rep=1 scan=30 state=32 type=key vk=65")
    T.eq(fields(next_event(true)), "char=97 down=false rep=1 scan=30 state=32 type=key vk=65")
    -- flags holds the control-key state, state the event flags.
    T.eq(fields(next_event()), "buttons=2 flags=16 state=1 type=mouse x=-3 y=7")
    T.eq(fields(next_event()), "type=resize")
    T.eq(fields(next_event()), "event_type=16 type=other")
    local extra = next_event()
    T.eq(extra and fields(extra), nil, "nothing more")
  end)

  T.case("getwch and kbhit read injected key presses", function()
    local recs = ffi.new("INPUT_RECORD[2]")
    recs[0].EventType = 1
    recs[0].Event.Key.bKeyDown = 1
    recs[0].Event.Key.wRepeatCount = 1
    recs[0].Event.Key.wVirtualKeyCode = 0x42
    recs[0].Event.Key.UnicodeChar = 0x20AC  -- a character outside Latin-1
    recs[1] = recs[0]
    recs[1].Event.Key.bKeyDown = 0
    local n = ffi.new("uint32_t[1]")
    T.eq(w.kbhit(), false)
    ffi.C.WriteConsoleInputW(ffi.C.GetStdHandle(4294967286), recs, 2, n)
    T.eq(w.kbhit(), true)
    T.eq(w.getwch(), 0x20AC)
  end)
elseif mode == "redirected" then
  local console_parent = arg[2] == "console-parent"
  T.case("redirected streams: no console, failure triples, argument errors", function()
    local c = w.console()
    T.eq(c.input_console, false)
    T.eq(c.output_console, false)
    W.triple(6, w.console_mode("in"))
    W.triple(6, w.console_mode("out"))
    W.triple(6, w.set_console_mode("out", 3))
    W.triple(6, w.console_size())
    W.triple(6, w.console_write("\195\169"))
    W.triple(6, w.console_pending())
    W.triple(6, w.read_console_event())
    common_argument_errors()
    -- A child of a console-less parent has no console at all, so the C
    -- runtime's console input is at its end.
    if not console_parent then
      T.raises("win32.getwch: input is at end of file", w.getwch)
      T.eq(w.kbhit(), false)
      print("getwch without a console checked")
    end
  end)
else
  T.case("a run with redirected standard streams", function()
    local parent_has_console = w.console().output_console or w.console().input_console
    local cmd = '"' .. W.host_exe .. '" "' .. W.winpath(arg[0]) .. '" redirected '
      .. (parent_has_console and "console-parent" or "")
    local r = assert(w.spawn({ command_line = cmd, stdin = "null", stdout = "pipe", stderr = "stdout" }))
    local out = W.drain(w, r.stdout)
    w.wait(r.process, W.PATIENCE_MS)
    local code = w.exit_code(r.process)
    w.close(r.process); w.close(r.stdout)
    io.write(out)
    T.eq(code, 0, "redirected run")
    T.truthy(out:find("1 passed, 0 failed", 1, true), "redirected run passed")
    if not parent_has_console then
      T.truthy(out:find("getwch without a console checked", 1, true), "getwch checked")
    end
  end)
end

T.finish()
