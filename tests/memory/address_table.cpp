// The address table under writers that list and unlist without a lock while
// the table is rebuilt under them (grown, and cleared of tombstones in
// place), and a reader that must find every key that stays listed.  Each
// writer owns its keys, as the registry's writers do; fresh keys keep the
// table filling up so that rebuilds keep coming, and another thread drops
// the tombstones again and again.  Checked after every step
// and at the end: a listed key is found with its record, an unlisted one is
// not, and nothing unlisted is left behind (a key left behind would send
// every later lookup of a reused record round in circles).  A lookup checks
// what it found as the registry's do: a slot that a rebuild filled anew
// while the lookup read it may hand over another key's record, which means
// "look again".  Nothing is timed: a slow machine only makes the run longer.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "Memory/address_table.hpp"

using namespace luamods::memory;

namespace {

struct Record {
    std::atomic<std::uint64_t> key{0};  // read by other threads' lookups
};

AddressTable<Record> table;
std::mutex writers_mutex;  // what the registry's mutex is to its table
std::atomic<int> failures{0};
std::atomic<int> compactions{0};
std::atomic<long> overlapped{0};  // erases that a rebuild ran beside

void fail(const char* what, std::uint64_t key)
{
    if (failures.fetch_add(1) < 10)
        std::printf("FAIL %s (key %llx)\n", what, static_cast<unsigned long long>(key));
}

// The record listed under `key`, or null.
Record* find(std::uint64_t key)
{
    for (;;) {
        Record* r = table.find(key);
        if (!r || r->key == key)
            return r;
    }
}

void insert(std::uint64_t key, Record* r, std::uint32_t* unsaid = nullptr)
{
    while (!table.try_insert(key, r, unsaid)) {
        std::lock_guard<std::mutex> lock(writers_mutex);
        if (!table.reserve(1)) {
            fail("no memory for the table", key);
            return;
        }
    }
}

// Keys of writer w: 16-byte aligned, never 0..2, a fresh range each round.
std::uint64_t key_of(int w, int round, int i)
{
    return (std::uint64_t(w + 1) << 44) | (std::uint64_t(round) << 16) | (std::uint64_t(i) << 4);
}

constexpr int kWriters = 3;
constexpr int kRounds = 300;
// The writers go on until as many compactions ran, and as many of their
// erases overlapped one: on a loaded machine the threads may seldom run at
// once, and then the run takes longer rather than proving less.
constexpr int kMinCompactions = 600;
#ifdef __SANITIZE_THREAD__
constexpr long kMinOverlapped = 250;  // ThreadSanitizer runs them about 8 times slower
#else
constexpr long kMinOverlapped = 1000;
#endif
constexpr int kBatch = 200;
constexpr int kStable = 4000;

void erase(std::uint64_t key)
{
    const std::uint64_t before = table.rebuilds();
    table.erase(key);
    if (table.rebuilds() != before)
        overlapped.fetch_add(1, std::memory_order_relaxed);
}

void writer(int w)
{
    std::vector<Record> records(kBatch);
    std::uint32_t unsaid = 0;  // slots counted in batches, as the registry's states do
    for (int round = 0; round < kRounds || compactions.load() < kMinCompactions ||
                        overlapped.load(std::memory_order_relaxed) < kMinOverlapped;
         ++round) {
        for (int i = 0; i < kBatch; ++i) {
            records[i].key = key_of(w, round, i);
            insert(records[i].key, &records[i], &unsaid);
        }
        for (int i = 0; i < kBatch; ++i)
            if (Record* found = find(records[i].key); found != &records[i])
                fail(found ? "a listed key is found with another key's record"
                           : "a listed key is not found",
                     records[i].key);
        // Half go at once, the rest after the others were checked.
        for (int i = 0; i < kBatch; i += 2)
            erase(records[i].key);
        for (int i = 0; i < kBatch; ++i) {
            Record* found = find(records[i].key);
            if (found != (i % 2 ? &records[i] : nullptr))
                fail(i % 2 ? "a listed key is lost" : "an unlisted key is found", records[i].key);
        }
        for (int i = 1; i < kBatch; i += 2)
            erase(records[i].key);
    }
}

}  // namespace

int main()
{
    std::vector<Record> stable(kStable);
    for (int i = 0; i < kStable; ++i) {
        stable[i].key = key_of(kWriters, 0, i);
        insert(stable[i].key, &stable[i]);
    }
    std::atomic<bool> done{false};
    std::atomic<long> lookups{0};
    std::thread reader([&] {
        while (!done.load(std::memory_order_acquire))
            for (Record& r : stable) {
                if (find(r.key) != &r)
                    fail("a key that stays listed is not found meanwhile", r.key);
                lookups.fetch_add(1, std::memory_order_relaxed);
            }
    });
    // Tombstones dropped in place again and again, as the clean-up does.
    std::thread compactor([&] {
        while (!done.load(std::memory_order_acquire)) {
            {
                std::lock_guard<std::mutex> lock(writers_mutex);
                if (!table.compact())
                    fail("no memory for the table", 0);
            }
            compactions.fetch_add(1);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back(writer, w);
    for (std::thread& t : writers)
        t.join();
    done.store(true, std::memory_order_release);
    reader.join();
    compactor.join();

    int listed = 0;
    table.for_each([&](std::uint64_t key, Record* r) {
        ++listed;
        if (!r || r->key != key)
            fail("a key is left behind", key);
    });
    if (listed != kStable)
        fail("the listed keys at the end are not the ones that stayed", listed);
    if (table.rebuilds() < 10)
        fail("too few rebuilds ran for the case to mean anything", table.rebuilds());
    table.destroy();
    std::printf("%s address table: %llu rebuilds, %ld lookups and %ld erases beside them\n",
                failures.load() ? "failed" : "ok  ",
                static_cast<unsigned long long>(table.rebuilds()), lookups.load(),
                overlapped.load());
    return failures.load() ? 1 : 0;
}
