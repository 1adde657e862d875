// The Lua boundary of every module function.  A Lua error skips the
// destructors of the C++ frames it unwinds through, and a C++ exception must
// never reach Lua.  So every Lua function of the modules takes one of two
// shapes, and which one can be told by eye from whether it holds a C++
// object (anything with a destructor):
//
// 1. A function that holds none reads its arguments, calls an operation
//    that cannot raise (noexcept; a failure is its result) and pushes the
//    results or raises:
//
//     read and check the arguments into plain values (may raise)
//     const Result r = operation(...);   // noexcept, holds what it needs
//     push r, or raise its failure
//
// 2. Any other function is one respond call:
//
//     read and check the arguments into plain values (may raise; nothing
//     is held yet)
//     return respond(L, wording, [&](Reply& reply) {
//         acquire (RAII); work; reply.push_...(results);
//     });
//
// The work runs in a frame that never raises.  Its results are pushed as it
// goes, bytes in protected mode, so that the C++ objects that own them (a
// block access, a std::string, a secret that is wiped) are still alive and
// are released normally when the work returns.  A failure is only recorded:
// once the frame has ended, respond() raises it, or replaces the results
// with the soft failure (nil, [code,] message).  C++ exceptions are caught
// there and become the module's wording of them.
//
// win32's functions run inside its entry trampoline, which words a C++
// exception with the function's name: there the operation of shape 1 may
// throw, and respond() hands exceptions on once the work's objects are
// released (kExceptionsToCaller).
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <new>
#include <type_traits>

#include "common/message.hpp"

namespace luamods {

// Makes the state's protected pusher (luaopen of every module calls it; may
// raise).  Until it exists a protected push fails with a Lua error.
void open_boundary(lua_State* L);

// Runs `push(L, data)` in protected mode; it must leave exactly one value on
// the stack.  Never raises: false when Lua failed (out of memory, or an error
// raised by a finalizer during an allocation), with that error object on the
// stack in place of the value.  Uses at most two stack slots above the value.
bool push_protected(lua_State* L, void (*push)(lua_State*, const void*), const void* data) noexcept;

// n bytes as a Lua string, in protected mode.
bool push_bytes(lua_State* L, const void* bytes, std::size_t n) noexcept;

class Reply {
public:
    explicit Reply(lua_State* L) noexcept : L_(L) {}
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    // Results.  A C function starts with LUA_MINSTACK (20) free slots; a
    // reply pushes at most a handful, so none of these grows the stack, and
    // only the bytes can fail to be made.  After a failure they do nothing.
    void push_bytes(const void* bytes, std::size_t n) noexcept;
    void push_string(const char* text) noexcept;  // NUL-terminated bytes
    // Bytes that are no secret, up to kCopyMax of them, copied into the
    // reply and made a string once the work has ended, where making it may
    // raise: the protected push costs more than the copy.  One copy a reply;
    // more bytes, or a second copy, are pushed as push_bytes does.
    static constexpr std::size_t kCopyMax = 256;
    void push_copy(const void* bytes, std::size_t n) noexcept;
    void push_integer(lua_Integer v) noexcept
    {
        plain([&] { lua_pushinteger(L_, v); });
    }
    void push_boolean(bool v) noexcept
    {
        plain([&] { lua_pushboolean(L_, v ? 1 : 0); });
    }
    void push_nil() noexcept
    {
        plain([&] { lua_pushnil(L_); });
    }
    // A light userdata.
    void push_pointer(const void* p) noexcept
    {
        plain([&] { lua_pushlightuserdata(L_, const_cast<void*>(p)); });
    }
    // One value made by `push(L, data)` in protected mode (a table, say).
    void push_with(void (*push)(lua_State*, const void*), const void* data) noexcept;

    // The call raises this message (printf-style) once the work has ended.
    void raise(const char* format, ...) noexcept
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // The same message, for code that formats it itself.
    Message& error() noexcept { return error_; }
    // The call returns nil and `text` (a constant) instead of its results.
    void fail(const char* text) noexcept { failure_ = text; }
    // The call returns nil, code and `text` (bytes the work owns) instead of
    // its results.  The text is pushed at once, while its owner lives.
    void fail(lua_Integer code, const void* text, std::size_t n) noexcept;

    bool failed() const noexcept { return error_.present || lua_error_ || failure_ || coded_; }

    // After the work: raises, or leaves the failure, or returns the number
    // of results.
    int finish()
    {
        if (failed())
            return finish_failed();
        if (copy_at_ < 0)
            return pushed_;
        lua_pushlstring(L_, copy_, copy_size_);
        if (copy_at_ < pushed_)
            lua_insert(L_, copy_at_ - pushed_ - 1);  // before the results pushed after it
        return pushed_ + 1;
    }

private:
    // A value that costs no allocation (and so cannot fail) is pushed
    // directly.
    template <class Push>
    void plain(Push push) noexcept
    {
        if (accepting()) {
            push();
            ++pushed_;
        }
    }
    bool accepting() const noexcept { return !failed(); }
    void pushed(bool made) noexcept;
    void drop_results() noexcept;
    int finish_failed();

    lua_State* L_;
    int pushed_ = 0;
    bool lua_error_ = false;  // Lua's own error object is on the stack
    bool coded_ = false;      // nil, code, text are on the stack
    const char* failure_ = nullptr;
    Message error_;
    // The copy goes after the first copy_at_ results (-1: none).  It is not
    // on the stack until finish(), so pushed_ does not count it.
    int copy_at_ = -1;
    std::size_t copy_size_ = 0;
    char copy_[kCopyMax];
};
static_assert(std::is_trivially_destructible_v<Reply>, "finish() may raise over a reply");

// How a module words a C++ exception that escaped its work: the message
// raised for std::bad_alloc and for anything else.  Null texts let the
// exception go on to the caller, once the work's objects are released
// (win32's dispatch words it with the function's name).
struct Wording {
    const char* out_of_memory;
    const char* other;
};
inline constexpr Wording kExceptionsToCaller{nullptr, nullptr};

template <class Work>
inline int respond(lua_State* L, const Wording& wording, Work&& work)
{
    // What the work captures outlives a raise: it must be plain.
    static_assert(std::is_trivially_destructible_v<std::remove_reference_t<Work>>,
                  "capture plain values or references only");
    Reply reply(L);
    try {
        work(reply);
    } catch (const std::bad_alloc&) {
        if (!wording.out_of_memory)
            throw;
        if (!reply.error().present)
            reply.raise("%s", wording.out_of_memory);
    } catch (...) {
        if (!wording.other)
            throw;
        if (!reply.error().present)
            reply.raise("%s", wording.other);
    }
    return reply.finish();
}

// Raises a message formatted in C++ (for calls that format it before
// anything is held, or after everything is released).
[[noreturn]] void raise_message(lua_State* L, const Message& message);

}  // namespace luamods
