// Keeps a loaded library in memory until the process ends: a library whose
// code another party may still call (a clean-up callback a host holds, a
// thread still running) must not be unloaded by the Lua state that loaded
// it closing.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace luamods {

// Pins the library (or program) that holds `address`; false if the system
// refused.
inline bool pin_library_of(const void* address) noexcept
{
#ifdef _WIN32
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_PIN,
                              static_cast<LPCWSTR>(address), &module) != 0;
#else
    // Opening the already loaded file again with RTLD_NODELETE marks it so
    // that no dlclose unloads it; the extra reference is never dropped.
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname)
        return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
#endif
}

}  // namespace luamods
