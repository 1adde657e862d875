#include "Memory/hazard.hpp"

#include <new>

#include "Memory/host_hook.hpp"
#include "Memory/process_barrier.hpp"

namespace luamods::memory {

constinit Hazards g_hazards;

void Hazards::init() noexcept
{
    static const bool chosen = [this] {
        asymmetric_ = process_barrier_setup();
        return true;
    }();
    (void)chosen;
}

// At unload (a library that never met a host) or process exit: no function
// of the library can run any more.
Hazards::~Hazards()
{
    if (g_library_pinned.load(std::memory_order_relaxed))
        return;
    for (HazardContext* c = head_.load(std::memory_order_relaxed); c;) {
        HazardContext* next = c->next;
        delete c;
        c = next;
    }
}

void Hazards::barrier() noexcept
{
    // A writer may run on a thread that never opened the module (the host's
    // clean-up): it learns the mode the readers use here.
    init();
    if (asymmetric_)
        process_barrier();
    else
        std::atomic_thread_fence(std::memory_order_seq_cst);
}

HazardContext* Hazards::claim() noexcept
{
    for (HazardContext* c = head_.load(std::memory_order_acquire); c; c = c->next) {
        bool expected = false;
        if (!c->claimed.load(std::memory_order_relaxed) &&
            c->claimed.compare_exchange_strong(expected, true, std::memory_order_acquire))
            return c;
    }
    auto* c = new (std::nothrow) HazardContext;
    if (!c)
        return nullptr;
    c->claimed.store(true, std::memory_order_relaxed);
    // Contexts are pushed at the head and never unlinked, so a writer that
    // walks the list from an older head misses only contexts that were new
    // after its barrier, whose accesses see the writer's phase change.
    HazardContext* head = head_.load(std::memory_order_relaxed);
    do {
        c->next = head;
    } while (!head_.compare_exchange_weak(head, c, std::memory_order_release,
                                          std::memory_order_relaxed));
    return c;
}

void Hazards::give_back(HazardContext* ctx) noexcept
{
    ctx->claimed.store(false, std::memory_order_release);
}

bool Hazards::published(const void* record) const noexcept { return count_published(record) > 0; }

void Hazards::snapshot(HazardSnapshot& out) const noexcept
{
    out.n_ = 0;
    out.overflow_ = false;
    for (HazardContext* c = head_.load(std::memory_order_acquire); c; c = c->next)
        for (const auto& s : c->slots)
            if (const void* r = s.load(std::memory_order_acquire)) {
                if (out.n_ == HazardSnapshot::kMax) {
                    // Too many to keep: each record is then looked up in
                    // the slots themselves.
                    out.overflow_ = true;
                    return;
                }
                out.seen_[out.n_++] = r;
            }
}

int Hazards::count_published(const void* record) const noexcept
{
    int n = 0;
    for (HazardContext* c = head_.load(std::memory_order_acquire); c; c = c->next)
        for (const auto& s : c->slots)
            if (s.load(std::memory_order_acquire) == record)
                ++n;
    return n;
}

}  // namespace luamods::memory
