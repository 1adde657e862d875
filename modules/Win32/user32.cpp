#include "Win32/user32.hpp"

#include "Win32/sys.hpp"

namespace luamods::win32 {
namespace {

INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
User32Bindings g_bindings;

template <class Fn>
void bind(HMODULE module, const char* name, Fn& slot)
{
    // GetProcAddress gives a generic function pointer; the slot's type is the
    // documented signature of that export.
    slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

BOOL CALLBACK fill(PINIT_ONCE, PVOID, PVOID*)
{
    HMODULE module = sys::system_library(L"user32.dll");
    if (!module)
        return TRUE;  // stays empty for the life of the process
    User32Bindings& b = g_bindings;
    b.module = module;
    bind(module, "OpenClipboard", b.open_clipboard);
    bind(module, "CloseClipboard", b.close_clipboard);
    bind(module, "EmptyClipboard", b.empty_clipboard);
    bind(module, "GetClipboardData", b.get_clipboard_data);
    bind(module, "SetClipboardData", b.set_clipboard_data);
    bind(module, "GetAsyncKeyState", b.get_async_key_state);
    b.clipboard_available = b.open_clipboard && b.close_clipboard && b.empty_clipboard &&
                            b.get_clipboard_data && b.set_clipboard_data;
    b.key_state_available = b.get_async_key_state != nullptr;
    return TRUE;
}

}  // namespace

const User32Bindings& user32() noexcept
{
    InitOnceExecuteOnce(&g_once, fill, nullptr, nullptr);
    return g_bindings;
}

bool open_clipboard_retrying() noexcept
{
    const User32Bindings& b = user32();
    if (!b.clipboard_available)
        return false;
    DWORD last_error = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (b.open_clipboard(nullptr))
            return true;
        last_error = GetLastError();
        Sleep(10);
    }
    // The caller reports the code of the last attempt, not whatever the
    // sleeps left behind.
    SetLastError(last_error);
    return false;
}

}  // namespace luamods::win32
