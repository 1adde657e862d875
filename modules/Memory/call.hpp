// The one shape of every memory and memory.queue entry point:
//
//     read arguments (may raise; nothing is held yet)
//     run_then_raise(L, [&](ErrorText& err) { acquire (RAII); work; })
//     push results
//
// The work runs in a frame of its own that never calls Lua, so every lock,
// BlockAccess and QueueUse it holds is released when it returns; only then is
// its message raised.  C++ exceptions (std::bad_alloc from a container) are
// caught here and become the operation's message, so none escapes into Lua;
// `module` names the module in that message ("memory", "memory.queue").
#pragma once

#include <lua.hpp>

#include <new>
#include <type_traits>

#include "Memory/error_text.hpp"
#include "Memory/status.hpp"

namespace luamods::memory {

namespace detail {
template <class Work>
void run_catching(Work& work, ErrorText& err, const char* module) noexcept
{
    try {
        work(err);
    } catch (const std::bad_alloc&) {
        if (!err.present)
            err.set("%s: out of memory", module);
    } catch (...) {
        if (!err.present)
            err.set("%s: internal error", module);
    }
}

[[noreturn]] void raise(lua_State* L, const ErrorText& err);
}  // namespace detail

template <class Work>
inline void run_then_raise(lua_State* L, Work&& work, const char* module = "memory")
{
    // What the work captures stays alive across the raise: it must be plain.
    static_assert(std::is_trivially_destructible_v<std::remove_reference_t<Work>>,
                  "capture plain values or references only");
    ErrorText err;
    detail::run_catching(work, err, module);
    if (err.present)
        detail::raise(L, err);
}

// For the entry points that call an operation of ops.hpp (which holds
// nothing once it returns): raises the message of a failed status.  ok and
// busy return.
inline void raise_on_failure(lua_State* L, Status status, const void* p, const Outcome& out)
{
    if (status == Status::ok || status == Status::busy)
        return;
    ErrorText err;
    format_status(err, status, p, out);
    detail::raise(L, err);
}

}  // namespace luamods::memory
