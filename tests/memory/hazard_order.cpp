// The two orderings the hazard slots rest on, as litmus tests run many
// thousands of times with a reader and a writer released together:
//  - publish: the reader publishes a record, then reads its phase; the writer
//    retires it, runs the barrier, then reads the slots.  Never both miss:
//    a reader that saw the record live is seen by the writer.
//  - clear: the reader clears its slot, then reads the phase; the same
//    writer.  Never both miss: a writer that still saw the slot is answered
//    by a reader that saw the record retired (the last one out reclaims).
// Built once per process barrier (the platform's, and none: the fenced
// mode), so that a weakened barrier or a reader's store that no longer
// fences shows here as a count above zero.  A slow machine only makes the
// run longer: nothing is timed.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Memory/hazard.hpp"

using namespace luamods::memory;

namespace {

enum : std::uint32_t { kLive = 1, kRetired = 3 };

struct alignas(64) Record {
    std::atomic<std::uint32_t> phase{kLive};
};

// Two threads meet here before and after every round: meeting n (from 1)
// is over once both have arrived n times.
class Meeting {
public:
    void meet(unsigned n) noexcept
    {
        arrived_.fetch_add(1, std::memory_order_acq_rel);
        // Spinning, so that both leave within a cache transfer of each
        // other; a yield now and then lets a descheduled partner run.
        for (unsigned spins = 1; arrived_.load(std::memory_order_acquire) < 2 * n; ++spins) {
            if (spins % 4096 == 0)
                std::this_thread::yield();
        }
    }

private:
    std::atomic<unsigned> arrived_{0};
};

// A delay of a different length each round on each side, so that the two
// sides' steps slide past each other across the rounds.
void delay(unsigned n) noexcept
{
    for (std::atomic<unsigned> i{0}; i.load(std::memory_order_relaxed) < n % 700;)
        i.store(i.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

int main(int argc, char** argv)
{
    const unsigned rounds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 300000;
    Hazards& hazards = Hazards::instance();
    hazards.init();
    HazardContext* ctx = hazards.claim();
    Record record;
    Meeting meeting;
    // Per round: what the reader saw (true: live) and the writer (true: a
    // slot names the record).
    static std::atomic<bool> reader_live[2], writer_saw[2];
    unsigned missed[2] = {0, 0}, overlapped[2] = {0, 0};

    std::thread reader([&] {
        HazardHold hold;
        for (unsigned round = 1; round <= rounds; ++round) {
            const int pattern = round & 1;
            if (pattern == 1)
                hold.publish(ctx, &record);  // the slot to clear, before the start
            meeting.meet(2 * round - 1);
            delay(round * 7919u >> 3);
            if (pattern == 0) {
                hold.publish(ctx, &record);
                reader_live[0].store(HazardHold::phase_after(record.phase) == kLive,
                                     std::memory_order_relaxed);
            } else {
                hold.clear();
                reader_live[1].store(HazardHold::phase_after(record.phase) == kLive,
                                     std::memory_order_relaxed);
            }
            meeting.meet(2 * round);
            hold.clear();  // held until the writer has looked
        }
    });
    for (unsigned round = 1; round <= rounds; ++round) {
        const int pattern = round & 1;
        meeting.meet(2 * round - 1);
        delay(round * 104729u >> 5);
        record.phase.store(kRetired, std::memory_order_release);
        hazards.barrier();
        writer_saw[pattern].store(hazards.published(&record), std::memory_order_relaxed);
        meeting.meet(2 * round);
        const bool live = reader_live[pattern].load(std::memory_order_relaxed);
        const bool saw = writer_saw[pattern].load(std::memory_order_relaxed);
        if (pattern == 0 ? (live && !saw) : (live && saw))
            ++missed[pattern];
        if (pattern == 0 ? (!live && saw) : (!live && !saw))
            ++overlapped[pattern];
        record.phase.store(kLive, std::memory_order_relaxed);
    }
    reader.join();
    hazards.give_back(ctx);
    std::printf("%s mode, %u rounds: publish missed %u (overlapped %u), clear missed %u "
                "(overlapped %u)\n",
                hazards.asymmetric() ? "asymmetric" : "fenced", rounds, missed[0], overlapped[0],
                missed[1], overlapped[1]);
    return missed[0] + missed[1] == 0 ? 0 : 1;
}
