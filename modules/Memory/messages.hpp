// Every message of memory and memory.queue, in one place.  Registry failures
// are raised with luaL_error and begin with the module's name; where they
// concern an address they end with it, as printf's %p writes it.  Argument
// problems go through luaL_argerror ("bad argument #n to 'f' (<text>)").
// The format strings are used with Message::set and Reply::raise.
#pragma once

namespace luamods::memory::msg {

// Arguments (luaL_argerror).
inline constexpr char kBlockPointerExpected[] = "memory pointer expected";
inline constexpr char kQueuePointerExpected[] = "queue pointer expected";
inline constexpr char kPointerExpected[] = "pointer expected";
inline constexpr char kNotFinite[] = "%s must be a finite integer";  // the argument's name
inline constexpr char kNegative[] = "%s must not be negative";
inline constexpr char kAtomicAlignment[] =
    "offset must be a multiple of 4 for an atomic i32 access";
inline constexpr char kByteValue[] = "byte value must be between 0 and 255";
inline constexpr char kPayloadBeforeCounter[] =
    "the payload region must start after the sequence counter";
inline constexpr char kPayloadTooLong[] = "payload is longer than the region";
inline constexpr char kAttempts[] = "attempts must be at least 1";
inline constexpr char kMaxTooLarge[] = "max is too large";
// The optional time limit of wait_dequeue and wait_pop, in milliseconds.
inline constexpr char kTimeoutType[] = "number expected, got %s";  // the type's name
inline constexpr char kTimeoutNaN[] = "timeout must not be NaN";
inline constexpr char kTimeoutNegative[] = "timeout must not be negative";

// memory: blocks and their bytes.
inline constexpr char kAllocationFailed[] = "memory: allocation of %llu bytes failed";
inline constexpr char kReallocFailed[] = "memory: realloc of %llu bytes failed";
inline constexpr char kUnknown[] = "memory: unknown or freed pointer (%p)";
inline constexpr char kReleased[] = "memory: block was already released (%p)";
inline constexpr char kOutOfBounds[] =
    "memory: range is out of bounds (offset %llu, length %llu, size %llu)";
inline constexpr char kOutOfMemory[] = "memory: out of memory";
inline constexpr char kInternalError[] = "memory: internal error";
inline constexpr char kCannotRead[] = "memory: cannot read %llu bytes";
inline constexpr char kInvalidArgument[] = "memory: invalid argument";
inline constexpr char kFreeUnknown[] = "memory: cannot free an unknown or freed pointer (%p)";
inline constexpr char kFreeShared[] =
    "memory: this is a shared block, release it instead of freeing it (%p)";
inline constexpr char kReallocUnknown[] = "memory: cannot realloc an unknown or freed pointer (%p)";
inline constexpr char kReallocShared[] =
    "memory: this is a shared block and must keep its address; allocate a new shared block and "
    "copy instead (%p)";
inline constexpr char kBusy[] = "memory: this block is being read or written right now (%p)";
inline constexpr char kRetainUnknown[] = "memory: cannot retain an unknown or freed pointer (%p)";
inline constexpr char kReleaseUnknown[] = "memory: cannot release an unknown or freed pointer (%p)";
inline constexpr char kNotShared[] = "memory: this is not a shared block (%p)";
inline constexpr char kAlreadyReleased[] = "memory: this shared block is already released (%p)";
inline constexpr char kTooManyReferences[] =
    "memory: too many references to this shared block (%p)";
inline constexpr char kOverReleased[] =
    "memory: this block was released more often than it was retained (%p)";

// memory.queue.
inline constexpr char kQueueOutOfMemory[] = "memory.queue: out of memory";
inline constexpr char kQueueInternalError[] = "memory.queue: internal error";
inline constexpr char kQueueCannotCreate[] = "memory.queue: cannot create a queue";
inline constexpr char kQueueUnknown[] = "memory.queue: unknown queue (%p)";
inline constexpr char kQueueUnknownOrDeleted[] = "memory.queue: unknown or deleted queue (%p)";
inline constexpr char kQueueDeleteUnknown[] = "memory.queue: cannot delete an unknown queue (%p)";
inline constexpr char kQueueDeleteShared[] =
    "memory.queue: this is a shared queue, release it instead of deleting it (%p)";
inline constexpr char kQueueBusy[] = "memory.queue: this queue is in use right now (%p)";
inline constexpr char kQueueRetainUnknown[] = "memory.queue: cannot retain an unknown queue (%p)";
inline constexpr char kQueueReleaseUnknown[] = "memory.queue: cannot release an unknown queue (%p)";
inline constexpr char kQueueNotShared[] = "memory.queue: this is not a shared queue (%p)";
inline constexpr char kQueueAlreadyReleased[] =
    "memory.queue: this shared queue is already released (%p)";
inline constexpr char kQueueTooManyReferences[] =
    "memory.queue: too many references to this shared queue (%p)";
inline constexpr char kQueueOverReleased[] =
    "memory.queue: this queue was released more often than it was retained (%p)";
inline constexpr char kPopNotPushed[] = "memory.queue: pop only reads items queued with push (%p)";

}  // namespace luamods::memory::msg
