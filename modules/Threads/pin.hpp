// Keeps this library loaded until the process ends.  A state that required
// it may close (and unload it) while threads it started still run its code,
// and the host record that other libraries have registered with lives here.
#pragma once

namespace luamods::threads {

// True once the library is pinned; false if the system refused.
bool pin_library() noexcept;

}  // namespace luamods::threads
