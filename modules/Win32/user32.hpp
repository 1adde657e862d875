// user32, bound by name at run time on first use: the clipboard functions and
// GetAsyncKeyState.  The module does not link user32, so processes that never
// touch the clipboard or the keyboard state never load it.
#pragma once

#include <windows.h>

namespace luamods::win32 {

struct User32Bindings {
    HMODULE module = nullptr;
    BOOL(WINAPI* open_clipboard)(HWND) = nullptr;
    BOOL(WINAPI* close_clipboard)() = nullptr;
    BOOL(WINAPI* empty_clipboard)() = nullptr;
    HANDLE(WINAPI* get_clipboard_data)(UINT) = nullptr;
    HANDLE(WINAPI* set_clipboard_data)(UINT, HANDLE) = nullptr;
    SHORT(WINAPI* get_async_key_state)(int) = nullptr;
    bool clipboard_available = false;
    bool key_state_available = false;
};

// The process-wide record, filled exactly once (concurrent first callers wait
// for the one that fills it).  A failed binding stays failed.
const User32Bindings& user32() noexcept;

// OpenClipboard with no owner, up to 20 attempts 10 ms apart.  On false the
// caller reports GetLastError().
bool open_clipboard_retrying() noexcept;

}  // namespace luamods::win32
