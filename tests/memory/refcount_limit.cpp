// Registry cases that Lua cannot reach in reasonable time or at all.  The reference
// count of a shared block is 32-bit: retain must refuse to take it past its
// maximum rather than wrap it negative (2^31 calls through Lua, so this test
// sets the count directly).  And accesses nested deeper than a state has
// hazard slots (finalizers that run inside an access) borrow slots: every
// one of them holds the block, so it outlives a free until the last ends.
// And the narrowest race of a lookup: the record found under an address is
// freed and taken for another block between the lookup and the publish (a
// seam the test links around Hazards::claim, which a lookup calls there when
// its state has no context).  And two threads freeing the same blocks at
// once, as tightly as no Lua loop can: each block is freed exactly once.
#include <lua.hpp>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Memory/args.hpp"
#include "Memory/functions.hpp"
#include "Memory/registry.hpp"

using namespace luamods::memory;

// The linker sends every call of Hazards::claim here (--wrap).
std::function<void()> g_before_claim;
extern "C" HazardContext* __real__ZN7luamods6memory7Hazards5claimEv(Hazards* self);
extern "C" HazardContext* __wrap__ZN7luamods6memory7Hazards5claimEv(Hazards* self)
{
    if (auto between = std::exchange(g_before_claim, nullptr))
        between();
    return __real__ZN7luamods6memory7Hazards5claimEv(self);
}

namespace {

int failures = 0;

void expect(bool ok, const char* what)
{
    if (!ok) {
        std::printf("FAIL %s\n", what);
        ++failures;
    }
}

// Calls fn(p) in protected mode; returns its integer result, or sets `error`.
long long call(lua_State* L, lua_CFunction fn, void* p, std::string& error)
{
    lua_pushcfunction(L, fn);
    lua_pushlightuserdata(L, p);
    error.clear();
    long long result = -1;
    if (lua_pcall(L, 1, 1, 0) != 0)
        error = lua_tostring(L, -1);
    else
        result = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return result;
}

void set_count(void* p, std::int32_t n)
{
    BlockAccess access;
    luamods::Message err;
    if (access.acquire(nullptr, p, 0, kNoRangeCheck, err))
        const_cast<BlockRecord&>(access.record()).ref_count.store(n);
}

}  // namespace

int main()
{
    lua_State* L = luaL_newstate();
    luamods::Message err;
    void* p = register_block(16, true, err);
    expect(p != nullptr, "shared block allocated");
    std::string e;

    set_count(p, INT_MAX - 1);
    expect(call(L, l_retain, p, e) == INT_MAX && e.empty(), "retain up to the maximum");
    call(L, l_retain, p, e);
    luamods::Message want;  // %p as the module's messages render it
    want.set("memory: too many references to this shared block (%p)", p);
    expect(e == want.text, "retain past the maximum is refused");
    expect(call(L, l_refcount, p, e) == INT_MAX, "the count is unchanged");
    expect(call(L, l_release, p, e) == INT_MAX - 1, "release still counts down");

    {
        HazardContext* ctx = Hazards::instance().claim();
        BlockAccess nested[kSlotsPerContext + 2];
        luamods::Message e2;
        bool all = true;
        for (BlockAccess& a : nested)
            all = all && a.acquire(ctx, p, 0, 16, e2);
        expect(all, "nested accesses beyond the slots of a state");
        set_count(p, 1);
        expect(call(L, l_release, p, e) == 0 && e.empty(), "released while accessed");
        expect(block_registry().count_allocations() == 16, "held by the nested accesses");
        for (BlockAccess& a : nested) {
            a.release();
            if (&a != &nested[kSlotsPerContext + 1])
                expect(block_registry().count_allocations() == 16,
                       "held until the last access ends");
        }
        expect(block_registry().count_allocations() == 0, "gone with the last access");
        Hazards::instance().give_back(ctx);
    }
    {
        // Found, freed, reused for another address, then published: the
        // lookup must see that the record no longer carries its address.
        void* plain = register_block(16, false, err);
        Outcome out;
        const BlockRecord* first = nullptr;
        {
            BlockAccess a;
            expect(a.acquire(nullptr, plain, 0, 16, out) == Status::ok, "a plain block");
            first = &a.record();
        }
        void* other = nullptr;
        g_before_claim = [&] {
            block_registry().free_plain(nullptr, plain);
            other = register_block(4096, false, err);  // never the freed 16 bytes
        };
        BlockAccess a;
        expect(a.acquire(nullptr, plain, 0, 16, out) == Status::unknown,
               "a record reused between lookup and publish is not taken for the old address");
        a.release();
        BlockAccess b;
        expect(b.acquire(nullptr, other, 0, 4096, out) == Status::ok && &b.record() == first,
               "the record was reused by the other block (the case ran)");
        b.release();
        block_registry().free_plain(nullptr, other);
        expect(block_registry().count_allocations() == 0, "nothing left");
    }
    {
        // Each round the two threads start together and free the same blocks
        // in the same order: whoever wins a block's record frees it, the
        // other is told it is unknown.
        constexpr int kBlocks = 2048;
        constexpr int kRounds = 1000;
        std::vector<void*> blocks(kBlocks);
        int miscounted = 0;
        for (int round = 0; round < kRounds; ++round) {
            for (void*& b : blocks)
                b = register_block(16, false, err);
            std::atomic<int> ready{0};
            int won[2] = {0, 0};
            auto freer = [&](int who) {
                HazardContext* ctx = Hazards::instance().claim();
                ready.fetch_add(1);
                while (ready.load() < 2)
                    std::this_thread::yield();
                for (void* b : blocks)
                    won[who] += block_registry().free_plain(ctx, b) == Change::done;
                block_registry().flush(ctx);
                Hazards::instance().give_back(ctx);
            };
            std::thread first(freer, 0), second(freer, 1);
            first.join();
            second.join();
            miscounted += won[0] + won[1] != kBlocks;
        }
        expect(miscounted == 0, "two threads freeing the same blocks free each exactly once");
        expect(block_registry().count_allocations() == 0, "nothing left after the racing frees");
    }
    p = register_block(16, true, err);

    set_count(p, 1);
    expect(call(L, l_release, p, e) == 0, "last release");
    expect(block_registry().count_allocations() == 0, "block freed");
    lua_close(L);
    std::printf("%s\n", failures == 0 ? "ok   retain refuses to pass the 32-bit limit" : "failed");
    return failures == 0 ? 0 : 1;
}
