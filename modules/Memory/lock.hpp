// The registries' mutex: a slim reader/writer lock taken exclusively on
// Windows, a futex-backed pthread mutex elsewhere.  Both cost one atomic
// operation each way when uncontended.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
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
