#include "Threads/pin.hpp"

#include <windows.h>

namespace luamods::threads {

bool pin_library_of(const void* address) noexcept
{
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              static_cast<LPCWSTR>(address), &module) != 0;
}

}  // namespace luamods::threads
