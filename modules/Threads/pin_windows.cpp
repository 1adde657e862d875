#include "Threads/pin.hpp"

#include <windows.h>

namespace luamods::threads {

bool pin_library() noexcept
{
    HMODULE self = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&pin_library), &self) != 0;
}

}  // namespace luamods::threads
