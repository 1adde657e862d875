// The console of the process's own standard handles (fetched anew on every
// call), single key presses through the C runtime, and the keyboard state
// through user32.  Only console_write holds a C++ object (its text): it is
// the one respond() call here.

#include <conio.h>

#include <cstring>

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/messages.hpp"
#include "Win32/text.hpp"
#include "Win32/user32.hpp"

namespace luamods::win32 {
namespace {

bool is_console(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    return valid_handle(h) && GetConsoleMode(h, &mode) != 0;
}

// The standard handle that "in" or "out" names; raises for anything else.
HANDLE named_std_handle(lua_State* L, const char* which, std::size_t length)
{
    if (length == 2 && std::memcmp(which, "in", 2) == 0)
        return GetStdHandle(STD_INPUT_HANDLE);
    if (length == 3 && std::memcmp(which, "out", 3) == 0)
        return GetStdHandle(STD_OUTPUT_HANDLE);
    luaL_error(L, "%s", kConsoleWhich);
    return nullptr;
}

void set_integer(lua_State* L, const char* field, lua_Integer value)
{
    lua_pushinteger(L, value);
    lua_setfield(L, -2, field);
}

void push_event(lua_State* L, const INPUT_RECORD& record)
{
    lua_createtable(L, 0, 7);
    switch (record.EventType) {
    case KEY_EVENT: {
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        lua_pushliteral(L, "key");
        lua_setfield(L, -2, "type");
        lua_pushboolean(L, key.bKeyDown != 0);
        lua_setfield(L, -2, "down");
        set_integer(L, "vk", key.wVirtualKeyCode);
        set_integer(L, "scan", key.wVirtualScanCode);
        set_integer(L, "char", static_cast<WORD>(key.uChar.UnicodeChar));
        set_integer(L, "state", key.dwControlKeyState);
        set_integer(L, "rep", key.wRepeatCount);
        break;
    }
    case MOUSE_EVENT: {
        // flags carries the control-key state and state the event flags.
        const MOUSE_EVENT_RECORD& mouse = record.Event.MouseEvent;
        lua_pushliteral(L, "mouse");
        lua_setfield(L, -2, "type");
        set_integer(L, "x", mouse.dwMousePosition.X);
        set_integer(L, "y", mouse.dwMousePosition.Y);
        set_integer(L, "buttons", mouse.dwButtonState);
        set_integer(L, "flags", mouse.dwControlKeyState);
        set_integer(L, "state", mouse.dwEventFlags);
        break;
    }
    case WINDOW_BUFFER_SIZE_EVENT:
        lua_pushliteral(L, "resize");
        lua_setfield(L, -2, "type");
        break;
    default:
        lua_pushliteral(L, "other");
        lua_setfield(L, -2, "type");
        set_integer(L, "event_type", record.EventType);
        break;
    }
}

}  // namespace

int l_console(lua_State* L)
{
    lua_createtable(L, 0, 2);
    lua_pushboolean(L, is_console(STD_INPUT_HANDLE));
    lua_setfield(L, -2, "input_console");
    lua_pushboolean(L, is_console(STD_OUTPUT_HANDLE));
    lua_setfield(L, -2, "output_console");
    return 1;
}

int l_console_mode(lua_State* L)
{
    std::size_t length = 0;
    const char* which = luaL_checklstring(L, 1, &length);
    HANDLE h = named_std_handle(L, which, length);
    if (!valid_handle(h))
        return push_windows_error(L, ERROR_INVALID_HANDLE);
    return push_dword_or_last_error(L, h, GetConsoleMode);
}

int l_set_console_mode(lua_State* L)
{
    // Both arguments are read before which is judged.
    std::size_t length = 0;
    const char* which = luaL_checklstring(L, 1, &length);
    const DWORD mode = check_low32_arg(L, 2);
    HANDLE h = named_std_handle(L, which, length);
    if (!valid_handle(h))
        return push_windows_error(L, ERROR_INVALID_HANDLE);
    if (!SetConsoleMode(h, mode))
        return push_windows_error(L, GetLastError());
    DWORD in_force = mode;  // reported as requested if the read-back fails
    GetConsoleMode(h, &in_force);
    lua_pushboolean(L, 1);
    lua_pushinteger(L, static_cast<lua_Integer>(in_force));
    return 2;
}

int l_console_size(lua_State* L)
{
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!valid_handle(h))
        return push_windows_error(L, GetLastError());
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(h, &info))
        return push_windows_error(L, GetLastError());
    lua_pushinteger(L, info.srWindow.Right - info.srWindow.Left + 1);
    lua_pushinteger(L, info.srWindow.Bottom - info.srWindow.Top + 1);
    return 2;
}

int l_console_write(lua_State* L)
{
    std::size_t length = 0;
    const char* text = luaL_checklstring(L, 1, &length);
    return respond(L, kWin32, [&](Reply& reply) {
        const WideString wide = utf8_to_wide(text, length);
        HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD written = 0;
        if (!valid_handle(h) ||
            !WriteConsoleW(h, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr))
            return fail_with_windows_error(reply, GetLastError());
        reply.push_integer(static_cast<lua_Integer>(written));
    });
}

int l_console_pending(lua_State* L)
{
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    if (!valid_handle(h))
        return push_windows_error(L, GetLastError());
    return push_dword_or_last_error(L, h, GetNumberOfConsoleInputEvents);
}

int l_read_console_event(lua_State* L)
{
    const bool wait = lua_toboolean(L, 1) != 0;
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    if (!valid_handle(h))
        return push_windows_error(L, GetLastError());
    if (!wait) {
        DWORD count = 0;
        if (!GetNumberOfConsoleInputEvents(h, &count))
            return push_windows_error(L, GetLastError());
        if (count == 0) {
            lua_pushnil(L);
            return 1;
        }
    }
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!ReadConsoleInputW(h, &record, 1, &read)) {
        const DWORD code = GetLastError();
        if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) {
            lua_pushnil(L);
            return 1;
        }
        return push_windows_error(L, code);
    }
    if (read == 0) {
        lua_pushnil(L);
        return 1;
    }
    push_event(L, record);
    return 1;
}

int l_getwch(lua_State* L)
{
    const wint_t c = _getwch();
    if (c == WEOF)
        return luaL_error(L, "%s", kGetwchEnd);
    lua_pushinteger(L, static_cast<lua_Integer>(c));
    return 1;
}

int l_kbhit(lua_State* L)
{
    lua_pushboolean(L, _kbhit() != 0);
    return 1;
}

int l_key_down(lua_State* L)
{
    const auto vk = static_cast<int>(check_low32_arg(L, 1));
    const User32Bindings& user = user32();
    if (!user.key_state_available)
        return luaL_error(L, "%s", kKeyStateUnavailable);
    const SHORT state = user.get_async_key_state(vk);
    lua_pushboolean(L, (static_cast<unsigned short>(state) & 0x8000u) != 0);
    return 1;
}

}  // namespace luamods::win32
