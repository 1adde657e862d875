// No process-wide barrier: the hazard slots use the fenced mode, where each
// reader's store is a full fence of its own.  (Windows has
// FlushProcessWriteBuffers, but Wine, where the Windows build is tested,
// implements it as a no-op, so it is not relied upon.)
#include "Memory/process_barrier.hpp"

namespace luamods::memory {

bool process_barrier_setup() noexcept { return false; }

void process_barrier() noexcept {}

}  // namespace luamods::memory
