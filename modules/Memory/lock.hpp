// The registries' mutex: a slim reader/writer lock taken exclusively on
// Windows, a small futex mutex on Linux.  Both cost one atomic operation each
// way when uncontended and are inlined into the callers.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#endif

namespace luamods::memory {

#ifdef _WIN32
class RegistryMutex {
public:
    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
// States: 0 free, 1 held, 2 held with possible sleepers.
class RegistryMutex {
public:
    void lock() noexcept
    {
        int c = 0;
        if (state_.compare_exchange_strong(c, 1, std::memory_order_acquire))
            return;
        lock_contended(c);
    }
    void unlock() noexcept
    {
        if (state_.exchange(0, std::memory_order_release) == 2)
            futex(FUTEX_WAKE_PRIVATE, 1);
    }

private:
    void lock_contended(int c) noexcept
    {
        // The lock guards short bookkeeping: spin a while before sleeping,
        // reading until the lock looks free so the spinner does not steal
        // the cache line from the holder.
        for (int i = 0; i < 1000 && c != 0; ++i) {
            __builtin_ia32_pause();
            if (state_.load(std::memory_order_relaxed) != 0)
                continue;
            c = 0;
            if (state_.compare_exchange_weak(c, 1, std::memory_order_acquire))
                return;
        }
        if (c != 2)
            c = state_.exchange(2, std::memory_order_acquire);
        while (c != 0) {
            futex(FUTEX_WAIT_PRIVATE, 2);
            c = state_.exchange(2, std::memory_order_acquire);
        }
    }
    void futex(int op, int value) noexcept
    {
        syscall(SYS_futex, reinterpret_cast<int*>(&state_), op, value, nullptr, nullptr, 0);
    }

    static_assert(sizeof(std::atomic<int>) == sizeof(int));
    std::atomic<int> state_{0};
};
#endif

// Scoped hold of a RegistryMutex.
class RegistryLock {
public:
    explicit RegistryLock(RegistryMutex& m) noexcept : mutex_(&m) { mutex_->lock(); }
    ~RegistryLock() { unlock(); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    void unlock() noexcept
    {
        if (mutex_) {
            mutex_->unlock();
            mutex_ = nullptr;
        }
    }

private:
    RegistryMutex* mutex_;
};

}  // namespace luamods::memory
