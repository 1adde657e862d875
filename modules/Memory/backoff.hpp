// Waiting for another thread's step that is usually short (a writer deciding
// about a record) but may last (realloc copying a large block meanwhile):
// spin a little, then yield, then sleep, so that a long wait holds no core.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <time.h>
#endif

namespace luamods::memory {

class Backoff {
public:
    void wait() noexcept
    {
        if (round_ < kSpins) {
            ++round_;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else if (round_ < kSpins + kYields) {
            ++round_;
            yield();
        } else {
            nap();
        }
    }

private:
    // About a microsecond of pauses, then a few dozen yields (a writer that
    // was preempted gets the core), then sleeps of a tenth of a millisecond
    // (a millisecond on Windows, whose shortest sleep that is).
    static constexpr int kSpins = 64;
    static constexpr int kYields = 32;

#ifdef _WIN32
    static void yield() noexcept { SwitchToThread(); }
    static void nap() noexcept { Sleep(1); }
#else
    static void yield() noexcept { sched_yield(); }
    static void nap() noexcept
    {
        const timespec ts{0, 100 * 1000};
        nanosleep(&ts, nullptr);
    }
#endif

    int round_ = 0;
};

}  // namespace luamods::memory
