// The Lua boundary of memory and memory.queue in the two shapes of
// common/reply.hpp.  Every function that holds a lock, an access or a queue
// use is one respond call.  The byte and typed operations (ops.hpp) are the
// operations of the other shape: each is noexcept, holds the block through
// its own BlockAccess for exactly its work and returns a Status with plain
// figures (Outcome); the Lua function reads its arguments, calls one,
// raises the failed status here, when nothing is held any more, or pushes.
// That keeps these calls, 25 to 40 ns each, free of respond's bookkeeping,
// and the C entry points of memory.fast (fast_abi.cpp) call the same
// operations.
#pragma once

#include <lua.hpp>

#include "Memory/messages.hpp"
#include "Memory/status.hpp"
#include "common/reply.hpp"

namespace luamods::memory {

inline constexpr Wording kMemory{msg::kOutOfMemory, msg::kInternalError};
inline constexpr Wording kQueue{msg::kQueueOutOfMemory, msg::kQueueInternalError};

// Raises the message of a failed status; ok and busy return.
inline void raise_on_failure(lua_State* L, Status status, const void* p, const Outcome& out)
{
    if (status == Status::ok || status == Status::busy)
        return;
    Message message;
    format_status(message, status, p, out);
    raise_message(L, message);
}

}  // namespace luamods::memory
