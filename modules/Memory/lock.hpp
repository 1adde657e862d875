// The registries' mutex: a lightweight semaphore on Windows, a futex-backed
// pthread mutex elsewhere.  Both cost one atomic operation each way when
// uncontended.
#pragma once

#ifdef _WIN32
#include <concurrentqueue.h>  // the semaphore header relies on its macros
#include <lightweightsemaphore.h>
#else
#include <mutex>
#endif

namespace luamods::memory {

#ifdef _WIN32
// A binary semaphore in moodycamel's lightweight form: taking it is one
// compare-and-swap and giving it back one atomic add, inline; a thread that
// finds it taken spins a while, then sleeps on a system semaphore.  Every
// registry operation takes the lock at least once; with the slim reader/writer
// lock, a call into ntdll each way, they ran three to four times slower under
// Wine, where the Windows build is tested.
class RegistryMutex {
public:
    void lock() noexcept
    {
        while (!units_.wait()) {
        }
    }
    void unlock() noexcept { units_.signal(); }

private:
    static constexpr int kSpins = 1000;  // registry work takes well under a microsecond
    moodycamel::LightweightSemaphore units_{1, kSpins};
};
#else
class RegistryMutex {
public:
    void lock() noexcept { mutex_.lock(); }
    void unlock() noexcept { mutex_.unlock(); }

private:
    std::mutex mutex_;
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
