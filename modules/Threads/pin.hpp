// Keeps a loaded library in memory until the process ends.  A state that
// required this library may close (and unload it) while threads it started
// still run its code; the host record that other libraries registered with
// lives here; and a library whose clean-up callback the record holds must
// not be unloaded by the state that opened it before the callback runs.
#pragma once

namespace luamods::threads {

// Pins the library (or program) that holds `address`; false if the system
// refused.
bool pin_library_of(const void* address) noexcept;

}  // namespace luamods::threads
