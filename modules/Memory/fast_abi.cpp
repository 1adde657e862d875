// The C interface of Quandel for LuaJIT's FFI (memory.fast, lua/memory/fast.lua):
// the hot operations of memory as plain C functions that return a Status
// instead of raising, over the same registry and the same hazard-slot
// discipline as the Lua functions.
//
// Every operation takes a pointer to the caller's hazard context pointer:
// one context per Lua state (memory.fast uses the state's own, see
// quandel_state_context; a C caller claims one with quandel_context_open and
// gives it back with quandel_context_close).  A null context makes every
// access borrow one from the pool (slower, never unsound).  Results and the figures of a failure go
// to a quandel_outcome the caller owns; quandel_message writes the message
// that memory raises for the same failure.
//
// memory.fast checks every argument as memory does before it calls in; the
// checks here only keep a direct caller's bad values from reaching an
// operation whose preconditions they would break (they return `invalid`).

#include <cstddef>
#include <cstring>

#include "Memory/args.hpp"
#include "Memory/messages.hpp"
#include "Memory/ops.hpp"
#include "Memory/registry.hpp"
#include "Memory/state_context.hpp"
#include "luamods_export.hpp"

namespace luamods::memory {
namespace {

// LuaJIT's declaration of the struct (fast.lua) must match this layout.
static_assert(offsetof(Outcome, size) == 0 && offsetof(Outcome, offset) == 8 &&
              offsetof(Outcome, length) == 16 && offsetof(Outcome, i32) == 24 &&
              offsetof(Outcome, f64) == 32 && sizeof(Outcome) == 40);

constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;

int status(Status s) noexcept { return static_cast<int>(s); }

bool below_limit(std::uint64_t v) noexcept { return v < kLimit; }

// A multiple of 4, or the saturated offset that stands for 2^63 or more
// (memory's rule: it fails the bounds check instead).
bool atomic_offset(std::uint64_t offset) noexcept
{
    return offset % 4 == 0 || offset == kLimit - 1;
}

}  // namespace
}  // namespace luamods::memory

using luamods::memory::HazardContext;
using luamods::memory::Outcome;
using luamods::memory::ReadTarget;
using luamods::memory::Status;
namespace lm = luamods::memory;

// For memory.fast: pushes the Lua state's own context userdata, the one
// memory's functions use (made by luaopen_memory; made here if need be).  Its
// contents are the state's HazardContext*, which its finalizer gives back and
// sets to null; memory.fast passes the userdata to the functions below, which
// see a pointer to that field.  Being memory's own object, it is finalized
// before the library can be closed at lua_close, and a finalizer that runs
// after it finds null and borrows a context for its access.
LUAMODS_EXPORT int quandel_state_context(lua_State* L)
{
    lm::push_state_context(L);
    return 1;
}

// For memory.fast and memory.queue.fast, once when they load: the argument
// messages they raise themselves (they check arguments before calling in)
// and the status numbers of memory's functions below, so that messages.hpp
// and status.hpp stay the only source of both.
LUAMODS_EXPORT int quandel_texts(lua_State* L)
{
    namespace msg = lm::msg;
    static const struct {
        const char* key;
        const char* text;
    } texts[] = {
        {"block_pointer_expected", msg::kBlockPointerExpected},
        {"queue_pointer_expected", msg::kQueuePointerExpected},
        {"pointer_expected", msg::kPointerExpected},
        {"not_finite", msg::kNotFinite},
        {"negative", msg::kNegative},
        {"atomic_alignment", msg::kAtomicAlignment},
        {"byte_value", msg::kByteValue},
        {"payload_before_counter", msg::kPayloadBeforeCounter},
        {"payload_too_long", msg::kPayloadTooLong},
        {"attempts", msg::kAttempts},
        {"timeout_type", msg::kTimeoutType},
        {"timeout_nan", msg::kTimeoutNaN},
        {"timeout_negative", msg::kTimeoutNegative},
    };
    lua_createtable(L, 0, static_cast<int>(sizeof texts / sizeof texts[0]) + 2);
    for (const auto& t : texts) {
        lua_pushstring(L, t.text);
        lua_setfield(L, -2, t.key);
    }
    lua_pushinteger(L, lm::status(Status::ok));
    lua_setfield(L, -2, "ok");
    lua_pushinteger(L, lm::status(Status::busy));
    lua_setfield(L, -2, "busy");
    return 1;
}

LUAMODS_EXPORT HazardContext* quandel_context_open()
{
    lm::Hazards::instance().init();
    return lm::Hazards::instance().claim();
}

LUAMODS_EXPORT void quandel_context_close(HazardContext* ctx)
{
    // Every access has ended by then: its slots are clear.
    if (ctx) {
        lm::block_registry().flush(ctx);
        lm::Hazards::instance().give_back(ctx);
    }
}

LUAMODS_EXPORT int quandel_size(HazardContext* const* state, const void* p, Outcome* out)
{
    return lm::status(lm::op_size(*state, p, *out));
}

LUAMODS_EXPORT int quandel_read(HazardContext* const* state, const void* p, std::uint64_t offset,
                                std::uint64_t length, void* to, Outcome* out)
{
    if (!lm::below_limit(offset) || !lm::below_limit(length))
        return lm::status(Status::invalid);
    ReadTarget target;
    target.fixed = static_cast<unsigned char*>(to);
    return lm::status(lm::op_read(*state, p, offset, length, target, *out));
}

LUAMODS_EXPORT int quandel_write(HazardContext* const* state, const void* p, std::uint64_t offset,
                                 const void* data, std::uint64_t length, Outcome* out)
{
    if (!lm::below_limit(offset) || !lm::below_limit(length))
        return lm::status(Status::invalid);
    return lm::status(lm::op_write(*state, p, offset, data, length, *out));
}

LUAMODS_EXPORT int quandel_fill(HazardContext* const* state, const void* p, std::uint64_t offset,
                                std::uint64_t length, int value, Outcome* out)
{
    if (!lm::below_limit(offset) || !lm::below_limit(length) || value < 0 || value > 255)
        return lm::status(Status::invalid);
    return lm::status(
        lm::op_fill(*state, p, offset, length, static_cast<unsigned char>(value), *out));
}

LUAMODS_EXPORT int quandel_get_i32(HazardContext* const* state, const void* p, std::uint64_t offset,
                                   Outcome* out)
{
    return lm::status(lm::op_get_i32(*state, p, offset, *out));
}

LUAMODS_EXPORT int quandel_set_i32(HazardContext* const* state, const void* p, std::uint64_t offset,
                                   std::int64_t value, Outcome* out)
{
    return lm::status(lm::op_set_i32(*state, p, offset, static_cast<std::uint32_t>(value), *out));
}

LUAMODS_EXPORT int quandel_get_f64(HazardContext* const* state, const void* p, std::uint64_t offset,
                                   Outcome* out)
{
    return lm::status(lm::op_get_f64(*state, p, offset, *out));
}

LUAMODS_EXPORT int quandel_set_f64(HazardContext* const* state, const void* p, std::uint64_t offset,
                                   double value, Outcome* out)
{
    return lm::status(lm::op_set_f64(*state, p, offset, value, *out));
}

LUAMODS_EXPORT int quandel_atomic_i32(HazardContext* const* state, const void* p,
                                      std::uint64_t offset, Outcome* out)
{
    if (!lm::atomic_offset(offset))
        return lm::status(Status::invalid);
    return lm::status(lm::op_atomic_i32(*state, p, offset, *out));
}

LUAMODS_EXPORT int quandel_atomic_set_i32(HazardContext* const* state, const void* p,
                                          std::uint64_t offset, std::int64_t value, Outcome* out)
{
    if (!lm::atomic_offset(offset))
        return lm::status(Status::invalid);
    return lm::status(
        lm::op_atomic_set_i32(*state, p, offset, static_cast<std::uint32_t>(value), *out));
}

LUAMODS_EXPORT int quandel_atomic_add_i32(HazardContext* const* state, const void* p,
                                          std::uint64_t offset, std::int64_t delta, Outcome* out)
{
    if (!lm::atomic_offset(offset))
        return lm::status(Status::invalid);
    return lm::status(
        lm::op_atomic_add_i32(*state, p, offset, static_cast<std::uint32_t>(delta), *out));
}

LUAMODS_EXPORT int quandel_cas_i32(HazardContext* const* state, const void* p, std::uint64_t offset,
                                   std::int64_t expected, std::int64_t desired, Outcome* out)
{
    if (!lm::atomic_offset(offset))
        return lm::status(Status::invalid);
    return lm::status(lm::op_cas_i32(*state, p, offset, static_cast<std::uint32_t>(expected),
                                     static_cast<std::uint32_t>(desired), *out));
}

LUAMODS_EXPORT int quandel_seq_write(HazardContext* const* state, const void* p,
                                     std::uint64_t counter, std::uint64_t payload, const void* data,
                                     std::uint64_t length, std::uint64_t region, Outcome* out)
{
    if (!lm::atomic_offset(counter) || !lm::below_limit(counter) || !lm::below_limit(payload) ||
        !lm::below_limit(region) || payload < counter + 4 || length > region)
        return lm::status(Status::invalid);
    return lm::status(lm::op_seq_write(*state, p, counter, payload, data, length, region, *out));
}

LUAMODS_EXPORT int quandel_seq_read(HazardContext* const* state, const void* p,
                                    std::uint64_t counter, std::uint64_t payload,
                                    std::uint64_t length, std::uint64_t attempts, void* to,
                                    Outcome* out)
{
    if (!lm::atomic_offset(counter) || !lm::below_limit(counter) || !lm::below_limit(payload) ||
        !lm::below_limit(length) || payload < counter + 4)
        return lm::status(Status::invalid);
    ReadTarget target;
    target.fixed = static_cast<unsigned char*>(to);
    return lm::status(lm::op_seq_read(*state, p, counter, payload, length, attempts, target, *out));
}

// The message memory raises for `status` on block p, cut to n - 1 bytes;
// returns its length before the cut (0 for ok and busy).
LUAMODS_EXPORT std::size_t quandel_message(int status, const void* p, const Outcome* out, char* buf,
                                           std::size_t n)
{
    luamods::Message err;
    lm::format_status(err, static_cast<Status>(status), p, *out);
    const char* text = err.present ? err.text : "";
    const std::size_t len = std::strlen(text);
    if (n > 0) {
        const std::size_t copy = len < n ? len : n - 1;
        std::memcpy(buf, text, copy);
        buf[copy] = '\0';
    }
    return len;
}
