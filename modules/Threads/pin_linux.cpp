#include "Threads/pin.hpp"

#include <dlfcn.h>

namespace luamods::threads {

bool pin_library_of(const void* address) noexcept
{
    // Opening the already loaded file again with RTLD_NODELETE marks it so
    // that no dlclose unloads it; the extra reference is never dropped.
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname)
        return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace luamods::threads
