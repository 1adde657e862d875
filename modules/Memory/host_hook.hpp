// Hands a clean-up callback to the host program once per loaded library,
// through the host record of common/host_env.hpp.
#pragma once

#include <lua.hpp>

#include "common/host_env.hpp"

#include <atomic>

namespace luamods::memory {

using luamods::CleanupCallback;

// Set once the library has pinned itself (see HostHook).  It then stays
// mapped until the process ends, and its registries are left as they are at
// exit: threads of the host may still be using them.
inline std::atomic<bool> g_library_pinned{false};

class HostHook {
public:
    explicit constexpr HostHook(CleanupCallback callback) noexcept : callback_(callback) {}

    // Called by luaopen_*: until a host record with a clean-up slot has been
    // found in this process, looks for one in L and registers the callback
    // with the first found, pinning this library in memory for good.
    void register_once(lua_State* L);

private:
    CleanupCallback callback_;
    std::atomic<bool> registered_{false};
};

}  // namespace luamods::memory
