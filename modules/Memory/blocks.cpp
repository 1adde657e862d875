// Plain blocks: create, resize, free; the making of shared ones (alike but
// for the flag); and the byte operations on any block (their work is in
// ops.cpp).

#include <cstdlib>
#include <cstring>

#include "Memory/args.hpp"
#include "Memory/call.hpp"
#include "Memory/functions.hpp"
#include "Memory/messages.hpp"
#include "Memory/ops.hpp"
#include "Memory/read_buffer.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"

namespace luamods::memory {

namespace {

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

// alloc and shared: a new block of the size of argument 1, plain or shared.
int new_block(lua_State* L, bool shared)
{
    std::uint64_t size = check_size_arg(L, 1);
    return respond(L, kMemory, [&](Reply& reply) {
        reply.push_pointer(register_block(size, shared, reply.error(), state_context(L)));
    });
}

}  // namespace

int l_alloc(lua_State* L) { return new_block(L, false); }

int l_shared(lua_State* L) { return new_block(L, true); }

int l_free(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    return respond(L, kMemory, [&](Reply& reply) {
        switch (block_registry().free_plain(state_context(L), p)) {
        case Change::unknown: reply.raise(msg::kFreeUnknown, p); break;
        case Change::shared: reply.raise(msg::kFreeShared, p); break;
        default: break;
        }
    });
}

int l_realloc(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t size = check_size_arg(L, 2);
    return respond(L, kMemory, [&](Reply& reply) {
        void* moved = nullptr;
        switch (block_registry().realloc(p, size, moved)) {
        case BlockRegistry::Move::done: reply.push_pointer(moved); break;
        case BlockRegistry::Move::unknown: reply.raise(msg::kReallocUnknown, p); break;
        case BlockRegistry::Move::shared: reply.raise(msg::kReallocShared, p); break;
        case BlockRegistry::Move::busy: reply.raise(msg::kBusy, p); break;
        case BlockRegistry::Move::no_memory:
        case BlockRegistry::Move::no_table: reply.raise(msg::kReallocFailed, ull(size)); break;
        }
    });
}

int l_count_allocations(lua_State* L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(block_registry().count_allocations()));
    return 1;
}

int l_size(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    Outcome out;
    raise_on_failure(L, op_size(state_context(L), p, out), p, out);
    lua_pushinteger(L, static_cast<lua_Integer>(out.size));
    return 1;
}

int l_write(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    size_t len = 0;
    const char* data = luaL_checklstring(L, 3, &len);
    Outcome out;
    raise_on_failure(L, op_write(state_context(L), p, offset, data, len, out), p, out);
    return 0;
}

int l_read(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    std::uint64_t length = check_length_arg(L, 3);
    ReadBuffer buffer;
    ReadTarget to;
    to.buffer = &buffer;
    Outcome out;
    // The buffer's heap part exists only when the read succeeded.
    raise_on_failure(L, op_read(state_context(L), p, offset, length, to, out), p, out);
    if (!buffer.push_and_free(L))
        return lua_error(L);
    return 1;
}

int l_fill(lua_State* L)
{
    void* p = check_pointer_arg(L, 1, msg::kBlockPointerExpected);
    std::uint64_t offset = check_offset_arg(L, 2);
    std::uint64_t length = check_length_arg(L, 3);
    double value = luaL_checknumber(L, 4);
    if (!(value >= 0 && value < 256))  // NaN too
        luaL_argerror(L, 4, msg::kByteValue);
    Outcome out;
    raise_on_failure(
        L, op_fill(state_context(L), p, offset, length, static_cast<unsigned char>(value), out), p,
        out);
    return 0;
}

}  // namespace luamods::memory
