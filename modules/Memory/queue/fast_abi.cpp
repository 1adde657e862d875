// The C interface of memory.queue for LuaJIT's FFI (memory.queue.fast,
// lua/memory/queue/fast.lua): the item operations as plain C functions over
// the same code as the Lua functions (queue/items.hpp), returning a code
// instead of raising.
//
// Every function takes the caller's hazard context as memory.fast's do (the
// Lua state's own, from quandel_state_context; see fast_abi.cpp) and a
// quandel_queue_outcome that the caller owns: the results, and on failure
// the message that memory.queue raises for it.  memory.queue.fast checks
// every argument as memory.queue does before it calls in.
//
// A wait blocks only the calling thread: nothing on the way holds a lock,
// and LuaJIT holds none of its own across an FFI call.

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "Memory/queue/items.hpp"
#include "luamods_export.hpp"

namespace luamods::memory {
namespace {

// LuaJIT's declaration of the struct (queue/fast.lua) must match this layout.
struct QueueOutcome {
    void* item;                           // dequeue, wait_dequeue: the item
    std::uint64_t size;                   // pop, wait_pop: the string's length
    unsigned char* heap;                  // pop, wait_pop: a longer string than the caller's
                                          // buffer holds, for quandel_queue_free_string
    std::int64_t count;                   // len
    char message[sizeof(Message::text)];  // a failure's message
};
static_assert(offsetof(QueueOutcome, item) == 0 && offsetof(QueueOutcome, size) == 8 &&
              offsetof(QueueOutcome, heap) == 16 && offsetof(QueueOutcome, count) == 24 &&
              offsetof(QueueOutcome, message) == 32 && sizeof(QueueOutcome) == 32 + 224);

// The codes the functions return.
enum Code : int {
    kOk = 0,       // done; an item or a string was taken
    kEmpty = 1,    // nothing to take now, or before the limit expired
    kFailed = 2,   // the message is in the outcome
    kInvalid = 3,  // arguments memory.queue.fast never passes
};

int failed(const Message& err, QueueOutcome* out) noexcept
{
    std::memcpy(out->message, err.text, sizeof out->message);
    return kFailed;
}

int code(Taken taken, const Message& err, QueueOutcome* out) noexcept
{
    switch (taken) {
    case Taken::item: return kOk;
    case Taken::empty: return kEmpty;
    case Taken::failed: break;
    }
    return failed(err, out);
}

// A limit in milliseconds as memory.queue.fast passes it: checked already,
// with no limit as +inf.
bool limit_of(double ms, TimeLimit& limit) noexcept
{
    if (std::isnan(ms) || ms < 0)
        return false;
    limit = TimeLimit::from_ms(ms);
    return true;
}

}  // namespace
}  // namespace luamods::memory

using luamods::Message;
using luamods::TimeLimit;
using luamods::memory::HazardContext;
using luamods::memory::QueueOutcome;
namespace lm = luamods::memory;

LUAMODS_EXPORT int quandel_queue_enqueue(HazardContext* const* state, void* q, void* item,
                                         QueueOutcome* out)
{
    Message err;
    return lm::queue_enqueue(*state, q, item, err) ? lm::kOk : lm::failed(err, out);
}

LUAMODS_EXPORT int quandel_queue_take(HazardContext* const* state, void* q, double wait_ms,
                                      QueueOutcome* out)
{
    TimeLimit limit = TimeLimit::now();
    if (!lm::limit_of(wait_ms, limit))
        return lm::kInvalid;
    Message err;
    return lm::code(lm::queue_take(*state, q, limit, out->item, err), err, out);
}

LUAMODS_EXPORT int quandel_queue_len(HazardContext* const* state, void* q, QueueOutcome* out)
{
    Message err;
    return lm::queue_len(*state, q, out->count, err) ? lm::kOk : lm::failed(err, out);
}

LUAMODS_EXPORT int quandel_queue_push(HazardContext* const* state, void* q, const void* data,
                                      std::size_t len, QueueOutcome* out)
{
    Message err;
    return lm::queue_push(*state, q, data, len, err) ? lm::kOk : lm::failed(err, out);
}

// The string goes to `buf` when it fits in `cap` bytes, else to a buffer of
// its own in out->heap (null when there was no memory for it: the item is
// taken and its block freed all the same, as memory.queue does when Lua
// cannot make the string, and the call fails with the out-of-memory message).
LUAMODS_EXPORT int quandel_queue_pop(HazardContext* const* state, void* q, double wait_ms,
                                     unsigned char* buf, std::size_t cap, QueueOutcome* out)
{
    TimeLimit limit = TimeLimit::now();
    if (!lm::limit_of(wait_ms, limit))
        return lm::kInvalid;
    out->heap = nullptr;
    bool no_memory = false;
    auto sink = [&](const unsigned char* bytes, std::size_t n) {
        out->size = n;
        unsigned char* to = buf;
        if (n > cap) {
            // One more byte, so that an empty block's copy is never malloc(0).
            to = out->heap = static_cast<unsigned char*>(std::malloc(n + 1));
            if (!to) {
                no_memory = true;
                return;
            }
        }
        std::memcpy(to, bytes, n);
    };
    Message err;
    const lm::Taken taken = lm::queue_pop(*state, q, limit, sink, err);
    if (taken == lm::Taken::failed && out->heap) {
        std::free(out->heap);  // read, but the item was no plain block after all
        out->heap = nullptr;
    }
    if (taken == lm::Taken::item && no_memory) {
        err.set(lm::msg::kQueueOutOfMemory);
        return lm::failed(err, out);
    }
    return lm::code(taken, err, out);
}

LUAMODS_EXPORT void quandel_queue_free_string(unsigned char* heap) { std::free(heap); }
