#include "Memory/host_hook.hpp"

#include <cstring>

namespace luamods::memory {

namespace {
constexpr std::size_t kRegisterCleanupOffset = 32;  // fifth pointer-sized slot
using RegisterCleanup = void* (*)(CleanupCallback);
}  // namespace

void HostHook::register_once(lua_State* L)
{
    if (!L || host_record_.load(std::memory_order_acquire))
        return;
    lua_getfield(L, LUA_REGISTRYINDEX, "_env");
    void* record = nullptr;
    if (!lua_isnil(L, -1)) {
        if (const void* ud = lua_touserdata(L, -1))
            std::memcpy(&record, ud, sizeof record);
    }
    lua_pop(L, 1);
    if (!record)
        return;
    // Two states opening at once on two threads: only the one that stores the
    // record first registers, so the host never holds the callback twice.
    void* expected = nullptr;
    if (!host_record_.compare_exchange_strong(expected, record, std::memory_order_acq_rel))
        return;
    RegisterCleanup fn;
    std::memcpy(&fn, static_cast<const char*>(record) + kRegisterCleanupOffset, sizeof fn);
    if (fn)
        fn(callback_);
}

}  // namespace luamods::memory
