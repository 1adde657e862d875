// bench_queue: the raw C++ ceiling for the memory.queue benchmark.  It drives
// the very queue type behind memory.queue (moodycamel's queue and semaphore,
// as composed in Memory/queue/queue.hpp) with no Lua, no registry and no checks.
//
//   bench.raw_pairs(n) -> seconds for n put + take pairs on one thread
//   bench.raw_spsc(n)  -> seconds for n items from a producer thread to a
//                         consumer thread that takes with the blocking wait
//
// And the plain library as a C++ program uses it: moodycamel's
// BlockingConcurrentQueue from its own header, one producer thread and one
// consumer thread, no wrapper of ours at all.
//   bench.bcq_ints(n)          -> seconds for n addresses
//   bench.bcq_strings(n, size) -> seconds for n std::string copies of `size`
//                                 bytes (the producer copies, the consumer
//                                 moves each one out)

#include <lua.hpp>

#include <blockingconcurrentqueue.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "Memory/queue/queue.hpp"
#include "luamods_export.hpp"

namespace {

using luamods::memory::Queue;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Both return a negative time when the run could not be made.
double raw_pairs(std::int64_t n) noexcept
{
    try {
        Queue q;
        void* item = nullptr;
        auto t0 = Clock::now();
        for (std::int64_t i = 0; i < n; ++i) {
            q.put(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i + 1)));
            q.try_take(item);
        }
        return seconds_since(t0);
    } catch (...) {
        return -1;
    }
}

double raw_spsc(std::int64_t n) noexcept
{
    try {
        Queue q;
        auto t0 = Clock::now();
        std::thread consumer([&] {
            void* item = nullptr;
            for (std::int64_t i = 0; i < n; ++i)
                q.wait_take(item);
        });
        for (std::int64_t i = 0; i < n; ++i)
            q.put(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i + 1)));
        consumer.join();
        return seconds_since(t0);
    } catch (...) {
        return -1;
    }
}

double bcq_ints(std::int64_t n) noexcept
{
    try {
        moodycamel::BlockingConcurrentQueue<void*> q;
        auto t0 = Clock::now();
        std::thread consumer([&] {
            void* item = nullptr;
            for (std::int64_t i = 0; i < n; ++i)
                q.wait_dequeue(item);
        });
        for (std::int64_t i = 0; i < n; ++i)
            q.enqueue(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i + 1)));
        consumer.join();
        return seconds_since(t0);
    } catch (...) {
        return -1;
    }
}

double bcq_strings(std::int64_t n, std::size_t size) noexcept
{
    try {
        moodycamel::BlockingConcurrentQueue<std::string> q;
        const std::string data(size, 's');
        std::size_t bytes = 0;
        auto t0 = Clock::now();
        std::thread consumer([&] {
            std::string got;
            for (std::int64_t i = 0; i < n; ++i) {
                q.wait_dequeue(got);
                bytes += got.size();
            }
        });
        for (std::int64_t i = 0; i < n; ++i)
            q.enqueue(data);  // a copy
        consumer.join();
        const double t = seconds_since(t0);
        return bytes == static_cast<std::size_t>(n) * size ? t : -1;
    } catch (...) {
        return -1;
    }
}

int push_time(lua_State* L, double t)
{
    if (t < 0)
        return luaL_error(L, "bench_queue: the run could not be made");
    lua_pushnumber(L, t);
    return 1;
}

int l_raw_pairs(lua_State* L)
{
    std::int64_t n = luaL_checkinteger(L, 1);
    return push_time(L, raw_pairs(n));
}

int l_raw_spsc(lua_State* L)
{
    std::int64_t n = luaL_checkinteger(L, 1);
    return push_time(L, raw_spsc(n));
}

int l_bcq_ints(lua_State* L)
{
    std::int64_t n = luaL_checkinteger(L, 1);
    return push_time(L, bcq_ints(n));
}

int l_bcq_strings(lua_State* L)
{
    std::int64_t n = luaL_checkinteger(L, 1);
    auto size = static_cast<std::size_t>(luaL_checkinteger(L, 2));
    return push_time(L, bcq_strings(n, size));
}

}  // namespace

LUAMODS_EXPORT int luaopen_bench_queue(lua_State* L)
{
    static const luaL_Reg functions[] = {
        {"raw_pairs", l_raw_pairs},     {"raw_spsc", l_raw_spsc}, {"bcq_ints", l_bcq_ints},
        {"bcq_strings", l_bcq_strings}, {nullptr, nullptr},
    };
    lua_newtable(L);
    luaL_register(L, nullptr, functions);
    return 1;
}
