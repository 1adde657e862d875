#include "Memory/host_hook.hpp"

#include "common/host_env.hpp"
#include "common/pin.hpp"

namespace luamods::memory {

void HostHook::register_once(lua_State* L)
{
    if (!L || registered_.load(std::memory_order_acquire))
        return;
    // A state without a host record, or with an empty clean-up slot, leaves
    // the registration to a later state.
    HostEnv* host = host_env_of(L);
    auto fn = host ? host->register_cleanup : nullptr;
    if (!fn)
        return;
    // Two states opening at once on two threads: only the first registers,
    // so the host never holds the callback twice.
    bool expected = false;
    if (!registered_.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
        return;
    // The host may call the callback after the last Lua state that loaded
    // this library has closed, and a later state must find the same
    // registries, not fresh empty ones: the library stays for good.
    if (pin_library_of(reinterpret_cast<const void*>(callback_)))
        g_library_pinned.store(true, std::memory_order_relaxed);
    fn(callback_);
}

}  // namespace luamods::memory
