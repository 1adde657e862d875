// The process-wide barrier behind the hazard slots' asymmetric mode
// (hazard.hpp).  One implementation per platform: process_barrier_linux.cpp
// where the kernel offers one, process_barrier_none.cpp everywhere else
// (Windows included), where readers fence for themselves.
#pragma once

namespace luamods::memory {

// Sets the barrier up for this process, once, before any reader publishes:
// true when process_barrier() can be relied upon for as long as the process
// runs, so that readers may publish and clear with plain stores.
bool process_barrier_setup() noexcept;

// Makes every thread of the process that is running now execute a full
// fence.  Only after a setup that returned true; it does not fail.
void process_barrier() noexcept;

}  // namespace luamods::memory
