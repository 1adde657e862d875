#include "Memory/registry.hpp"

#include <cstdlib>
#include <cstring>

#include "Memory/args.hpp"

namespace luamods::memory {

namespace {
std::uintptr_t key(const void* p) noexcept
{
    return reinterpret_cast<std::uintptr_t>(p);
}
}  // namespace

BlockRegistry& block_registry() noexcept
{
    // Constructed at library load (first use is at the latest the first
    // luaopen), destroyed at unload without touching the blocks it lists.
    static BlockRegistry registry;
    return registry;
}

BlockRecord* BlockRegistry::Locked::find_live(const void* p) noexcept
{
    auto it = map_.find(key(p));
    if (it == map_.end() || it->second.pending_free())
        return nullptr;
    return &it->second;
}

void BlockRegistry::Locked::retire(const void* p, BlockRecord& rec) noexcept
{
    if (rec.busy.retire())
        erase_and_free(p);
}

void BlockRegistry::Locked::erase_and_free(const void* p) noexcept
{
    auto it = map_.find(key(p));
    if (it != map_.end()) {
        if (it->second.queue_owned)
            queue_blocks_.fetch_sub(1, std::memory_order_relaxed);
        map_.erase(it);
    }
    std::free(const_cast<void*>(p));
}

void BlockRegistry::Locked::insert(const void* p, std::uint64_t size, bool shared,
                                   bool queue_owned)
{
    map_.try_emplace(key(p), size, shared, queue_owned);
    if (queue_owned)
        queue_blocks_.fetch_add(1, std::memory_order_relaxed);
}

void BlockRegistry::Locked::disown(BlockRecord& rec) noexcept
{
    if (rec.queue_owned) {
        rec.queue_owned = false;
        queue_blocks_.fetch_sub(1, std::memory_order_relaxed);
    }
}

namespace {
// The block is complete (zeroed, or holding `init`) before it is listed: from
// the moment it is listed any state may name its address, and a state holding
// a stale copy of the same address may free it.
void* register_new_block(std::uint64_t size, bool zeroed, bool queue_owned, const void* init,
                         ErrorText& err) noexcept
{
    void* p = nullptr;
    if (size <= SIZE_MAX) {
        std::size_t n = size == 0 ? 1 : static_cast<std::size_t>(size);
        p = zeroed ? std::calloc(1, n) : std::malloc(n);
        if (p && init && size > 0)
            std::memcpy(p, init, n);
    }
    if (p) {
        try {
            auto locked = block_registry().lock();
            locked.insert(p, size, zeroed, queue_owned);
            return p;
        } catch (...) {
            std::free(p);  // the map could not grow: nothing is listed
        }
    }
    err.set("memory: allocation of %llu bytes failed", static_cast<unsigned long long>(size));
    return nullptr;
}
}  // namespace

void* register_block(std::uint64_t size, bool zeroed, ErrorText& err) noexcept
{
    return register_new_block(size, zeroed, false, nullptr, err);
}

void* register_queue_string(const char* data, std::size_t len, ErrorText& err) noexcept
{
    return register_new_block(len, false, true, data, err);
}

void disown_queue_blocks(void* const* items, std::size_t n) noexcept
{
    // Most items are no pushed strings: no lock while none is listed.
    if (n == 0 || block_registry().queue_blocks() == 0)
        return;
    auto locked = block_registry().lock();
    for (std::size_t i = 0; i < n; ++i)
        if (BlockRecord* rec = locked.find_live(items[i]))
            locked.disown(*rec);
}

bool free_plain_block(const void* p) noexcept
{
    auto locked = block_registry().lock();
    BlockRecord* rec = locked.find_live(p);
    if (!rec || rec->shared)
        return false;
    locked.retire(p, *rec);
    return true;
}

std::uint64_t count_allocations() noexcept
{
    auto locked = block_registry().lock();
    std::uint64_t total = 0;
    for (const auto& [addr, rec] : locked.records())
        if (!(rec.pending_free() && rec.busy_count() <= 0))
            total += rec.size;
    return total;
}

int memory_cleanup()
{
    auto locked = block_registry().lock();
    auto& map = locked.records();
    for (auto it = map.begin(); it != map.end();) {
        BlockRecord& rec = it->second;
        // Shared blocks outlive the clean-up, and a queue's strings go with
        // their queue; a pending block is already retired and goes with its
        // last access.
        if (rec.shared || rec.queue_owned || rec.pending_free() || !rec.busy.retire()) {
            ++it;
        } else {
            void* p = reinterpret_cast<void*>(it->first);
            it = map.erase(it);
            std::free(p);
        }
    }
    return 0;
}

bool BlockAccess::acquire(const void* p, std::uint64_t offset, std::uint64_t length,
                          ErrorText& err) noexcept
{
    release();
    auto locked = block_registry().lock();
    BlockRecord* rec = locked.find_live(p);
    if (!rec) {
        err.set("memory: unknown or freed pointer (%p)", p);
        return false;
    }
    if (rec->shared && rec->ref_count < 1) {
        err.set("memory: block was already released (%p)", p);
        return false;
    }
    if (length != kNoRangeCheck && !(offset <= rec->size && rec->size - offset >= length)) {
        err.set("memory: range is out of bounds (offset %llu, length %llu, size %llu)",
                static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(rec->size));
        return false;
    }
    rec->busy.enter();
    address_ = const_cast<void*>(p);
    record_ = rec;
    size_ = rec->size;
    return true;
}

void BlockAccess::release() noexcept
{
    if (!address_)
        return;
    void* p = address_;
    BlockRecord* rec = record_;
    address_ = nullptr;
    record_ = nullptr;
    // No lock for the common case; the record must not be touched after the
    // decrement unless this was the last access of a retired block, which
    // nobody else frees (every locked path skips pending records).
    if (rec->busy.leave())
        block_registry().lock().erase_and_free(p);
}

}  // namespace luamods::memory
