// The one shape of every crypto function that holds a secret or a heap buffer:
//
//     read and check arguments (may raise; nothing is held yet)
//     return respond(L, [&](Reply& reply) { RAII buffers; library work; reply.push(...); });
//
// The work runs in a frame that never raises: its results are pushed in
// protected mode (through a pusher function that prepare() puts on the stack
// before the work starts), and a failure is only recorded.  When the frame has ended
// and every buffer in it has been wiped and freed, respond() raises the
// recorded error or returns nil and a message.  C++ exceptions are caught
// there too, so none reaches Lua.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <type_traits>

namespace luamods::crypto {

class Reply {
public:
    explicit Reply(lua_State* L) noexcept : L_(L) {}

    // Before the work (may raise; nothing is held yet): puts the pusher on
    // the stack.
    void prepare();

    // Pushes n bytes as a string.  A string Lua cannot allocate becomes the
    // error "out of memory", raised once the work has ended.
    void push(const void* bytes, std::size_t n) noexcept;
    // The call returns nil and `message` (data-dependent outcomes).
    void fail(const char* message) noexcept { failure_ = message; }
    // The call raises `message` once the work has ended.
    void raise(const char* message) noexcept { error_ = message; }

    // After the work: raises, or pushes nil and the failure, or returns the
    // number of pushed results.
    int finish();

private:
    lua_State* L_;
    int pusher_ = 0;  // stack index of the pusher
    int pushed_ = 0;
    const char* failure_ = nullptr;
    const char* error_ = nullptr;
};

namespace detail {
template <class Work>
void run_catching(Work& work, Reply& reply) noexcept
{
    try {
        work(reply);
    } catch (...) {
        // The module's own code allocates nothing through C++; whatever
        // escapes is treated as exhausted memory.
        reply.raise("out of memory");
    }
}
}  // namespace detail

template <class Work>
inline int respond(lua_State* L, Work&& work)
{
    // The work's captures outlive a raise: they must be plain.
    static_assert(std::is_trivially_destructible_v<std::remove_reference_t<Work>>,
                  "capture plain values or references only");
    Reply reply(L);
    reply.prepare();
    detail::run_catching(work, reply);
    return reply.finish();
}

}  // namespace luamods::crypto
