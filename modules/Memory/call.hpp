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

#include <cstdint>

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

// The messages of a refused retain or release (of a block or a queue), each
// naming the pointer; a change with no message (release cannot have too many
// holders) is answered with the count.
struct CountMessages {
    const char* unknown;
    const char* not_shared;
    const char* over_released;
    const char* too_many = nullptr;
};

// retain and release: `change(count)` makes the change under the registry's
// mutex and leaves the new count; the reply is that count, or the message of
// the refused change.
template <class ChangeCount>
int respond_count(lua_State* L, const Wording& wording, const void* p, const CountMessages& m,
                  ChangeCount&& change)
{
    return respond(L, wording, [&](Reply& reply) {
        std::int32_t count = 0;
        const auto c = change(count);
        using Change = decltype(c);
        const char* refused = c == Change::unknown         ? m.unknown
                              : c == Change::not_shared    ? m.not_shared
                              : c == Change::over_released ? m.over_released
                              : c == Change::too_many      ? m.too_many
                                                           : nullptr;
        if (refused)
            reply.raise(refused, p);
        else
            reply.push_integer(count);
    });
}

}  // namespace luamods::memory
