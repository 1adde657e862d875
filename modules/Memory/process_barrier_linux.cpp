// Linux: membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) interrupts only the
// CPUs running this process's threads, each of which executes a full fence.
//
// A barrier the kernel agreed to may still be refused later (a seccomp filter
// installed after start-up, no memory for the kernel's CPU mask).  Readers
// that publish with plain stores rely on every writer's barrier, and a reader
// in the middle of an access cannot be told to fence instead, so from the
// first refusal on the barrier is made another way: lowering the protection
// of a page of our own makes the kernel flush that page from the TLB of
// every CPU that runs a thread of the process, by an interrupt, which on
// x86-64 is a full fence on that CPU.  Where that does not hold (other
// architectures flush TLBs without interrupting), the asymmetric mode is
// never chosen.
#include "Memory/process_barrier.hpp"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace luamods::memory {

namespace {

long membarrier(int cmd) noexcept { return syscall(SYS_membarrier, cmd, 0, 0); }

class PageBarrier {
public:
    bool setup() noexcept
    {
        size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return false;
        // Kept resident, so that its entry is present when it is flushed.
        // Without the lock the page is touched just before anyway.
        (void)mlock(p, size_);
        page_ = static_cast<int*>(p);
        return true;
    }

    void run() noexcept
    {
        pthread_mutex_lock(&mutex_);
        bool done = mprotect(page_, size_, PROT_READ | PROT_WRITE) == 0;
        if (done) {
            // Present and dirty in this CPU's TLB, then lowered: the kernel
            // must flush it everywhere the process runs.
            __atomic_add_fetch(page_, 1, __ATOMIC_SEQ_CST);
            done = mprotect(page_, size_, PROT_NONE) == 0;
        }
        pthread_mutex_unlock(&mutex_);
        if (!done) {
            // Nothing else orders the readers: continuing could free memory
            // that a reader is using.
            std::fputs("memory: the process-wide barrier failed\n", stderr);
            std::abort();
        }
    }

private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    int* page_ = nullptr;
    std::size_t size_ = 0;
};

PageBarrier g_page_barrier;
std::atomic<bool> g_membarrier_refused{false};

}  // namespace

bool process_barrier_setup() noexcept
{
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
    // Registered, then used once, so that a filter that refuses the barrier
    // itself is found now; and the fallback exists before it is needed.
    // (ThreadSanitizer cannot see the barrier: its builds use the fenced
    // mode, which it can follow.)
    return membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 &&
           membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0 && g_page_barrier.setup();
#else
    return false;
#endif
}

void process_barrier() noexcept
{
    if (!g_membarrier_refused.load(std::memory_order_relaxed)) {
        if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0)
            return;
        g_membarrier_refused.store(true, std::memory_order_relaxed);
    }
    g_page_barrier.run();
}

}  // namespace luamods::memory
