// The Lua boundary of memory and memory.queue: the shared reply
// (common/reply.hpp) for every function that holds a lock, an access or a
// queue use, and, for the byte operations of ops.hpp (which hold nothing once
// they return), the raise of a failed status.
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
