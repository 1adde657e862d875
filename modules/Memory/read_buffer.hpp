// ReadBuffer: bytes copied out of a block before they become a Lua string,
// shared by the entry points that return block contents.
#pragma once

#include <lua.hpp>

#include <cstdint>
#include <cstdlib>

#include "common/reply.hpp"

namespace luamods::memory {

// Bytes copied out of a block before they become a Lua string.  Small reads
// use the inline array; larger ones a heap buffer that is freed on every path
// (pushing the string may raise, so it is done in protected mode).  It has
// no destructor, so the functions that hold one keep the shape of those that
// hold nothing (common/reply.hpp): the heap part exists only from a read that
// succeeded to push_and_free or discard, and nothing raises in between.
class ReadBuffer {
public:
    static constexpr std::size_t kInline = 256;

    bool reserve(std::uint64_t n) noexcept
    {
        size_ = static_cast<std::size_t>(n);
        if (n <= kInline)
            return true;
        if (n > SIZE_MAX)
            return false;
        heap_ = static_cast<char*>(std::malloc(size_));
        return heap_ != nullptr;
    }
    char* data() noexcept { return heap_ ? heap_ : inline_; }

    // Frees the heap buffer without pushing anything.
    void discard() noexcept
    {
        std::free(heap_);
        heap_ = nullptr;
    }

    // Pushes the bytes as a string and frees the heap buffer.  Returns false
    // when Lua could not make the string (out of memory, or an error raised
    // by a finalizer while it was made), with that error object pushed
    // instead, for the caller to raise.  The inline case may raise Lua's
    // memory error itself: it holds nothing that needs releasing.
    bool push_and_free(lua_State* L)
    {
        if (!heap_) {
            lua_pushlstring(L, inline_, size_);
            return true;
        }
        const bool pushed = push_bytes(L, heap_, size_);
        discard();
        return pushed;
    }

private:
    char inline_[kInline];
    char* heap_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace luamods::memory
