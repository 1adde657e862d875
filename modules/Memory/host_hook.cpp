#include "Memory/host_hook.hpp"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace luamods::memory {

namespace {
constexpr std::size_t kRegisterCleanupOffset = 32;  // fifth pointer-sized slot
using RegisterCleanup = int (*)(CleanupCallback);  // its result is not used

// Keeps this library loaded until the process ends.  The host may call the
// callback after the last Lua state that loaded the library has closed (and
// unloaded it), and a later state must find the same registries, not fresh
// empty ones.  True when the library is pinned.
bool pin_this_library(CleanupCallback callback) noexcept
{
#ifdef _WIN32
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(callback)),
                              &module) != 0;
#else
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(callback), &info) || !info.dli_fname)
        return false;
    // RTLD_NOLOAD takes a reference on the library already loaded, and
    // RTLD_NODELETE makes every later dlclose leave it mapped.
    return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
#endif
}

RegisterCleanup find_register_cleanup(lua_State* L) noexcept
{
    lua_getfield(L, LUA_REGISTRYINDEX, "_env");
    void* record = nullptr;
    if (!lua_isnil(L, -1)) {
        if (const void* ud = lua_touserdata(L, -1))
            std::memcpy(&record, ud, sizeof record);
    }
    lua_pop(L, 1);
    RegisterCleanup fn = nullptr;
    if (record)
        std::memcpy(&fn, static_cast<const char*>(record) + kRegisterCleanupOffset, sizeof fn);
    return fn;
}
}  // namespace

void HostHook::register_once(lua_State* L)
{
    if (!L || registered_.load(std::memory_order_acquire))
        return;
    // A state without a host record, or with an empty clean-up slot, leaves
    // the registration to a later state.
    RegisterCleanup fn = find_register_cleanup(L);
    if (!fn)
        return;
    // Two states opening at once on two threads: only the first registers,
    // so the host never holds the callback twice.
    bool expected = false;
    if (!registered_.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
        return;
    if (pin_this_library(callback_))
        g_library_pinned.store(true, std::memory_order_relaxed);
    fn(callback_);
}

}  // namespace luamods::memory
