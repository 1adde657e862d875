#include "Threads/host_env.hpp"

#include <atomic>
#include <cstring>

#include "Threads/functions.hpp"
#include "common/pin.hpp"

namespace luamods::threads {

namespace {

// A fixed table of slots filled in order, so that registering and running
// take no lock, allocate nothing and never fail halfway; a library registers
// once, so a handful of slots is what a process uses.  Constant-initialised
// and without a destructor: a thread still running while the process exits
// may register or run callbacks safely.
constexpr int kMaxCleanups = 64;
std::atomic<CleanupCallback> g_cleanups[kMaxCleanups];

// Registering the same callback twice keeps one slot: it runs once per
// clean-up however often its library was opened.  The callback's library is
// pinned first, as a host that holds a callback must: the state that opened
// it may close, and unload it, long before the clean-up runs.
int register_cleanup(CleanupCallback fn) noexcept
{
    if (!fn || !pin_library_of(reinterpret_cast<const void*>(fn)))
        return -1;
    for (auto& slot : g_cleanups) {
        CleanupCallback expected = nullptr;
        if (slot.compare_exchange_strong(expected, fn, std::memory_order_acq_rel) || expected == fn)
            return 0;
    }
    return -1;
}

HostEnv g_record = {{nullptr, nullptr, nullptr, nullptr}, &register_cleanup};

}  // namespace

HostEnv* own_record() noexcept { return &g_record; }

int run_cleanups() noexcept
{
    int ran = 0;
    for (auto& slot : g_cleanups) {
        CleanupCallback fn = slot.load(std::memory_order_acquire);
        if (!fn)
            break;
        fn();
        ++ran;
    }
    return ran;
}

int registered_cleanups() noexcept
{
    int n = 0;
    while (n < kMaxCleanups && g_cleanups[n].load(std::memory_order_acquire))
        ++n;
    return n;
}

int l_cleanup(lua_State* L)
{
    lua_pushinteger(L, run_cleanups());
    return 1;
}

void install_record(lua_State* L, void* record)
{
    void* ud = lua_newuserdata(L, sizeof record);
    std::memcpy(ud, &record, sizeof record);
    lua_setfield(L, LUA_REGISTRYINDEX, kHostEnvField);
}

}  // namespace luamods::threads
