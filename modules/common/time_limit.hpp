// A time limit as scripts give it: milliseconds, optional.  memory.queue's
// waits and threads' join read it the same way:
//   absent or nil      no limit (wait as long as it takes)
//   0                  do not wait
//   a positive number  wait at most that long (fractions count)
//   kNoLimitMs or more no limit (math.huge included)
// NaN, a negative number and any other type are argument errors, raised by
// each module in its own words (check_time_limit_arg, args.hpp).
#pragma once

#include <chrono>
#include <cstdint>

namespace luamods {

using WaitClock = std::chrono::steady_clock;

// About 31.7 years: far beyond any wait a script means, and far inside what
// the clock's time points hold.
inline constexpr double kNoLimitMs = 1e12;

class TimeLimit {
public:
    enum class Kind { now, until, forever };

    static TimeLimit forever() noexcept { return TimeLimit(Kind::forever, {}); }
    static TimeLimit now() noexcept { return TimeLimit(Kind::now, {}); }

    // `ms` is neither NaN nor negative.  The deadline counts from this call.
    static TimeLimit from_ms(double ms) noexcept
    {
        if (ms == 0)
            return now();
        if (!(ms < kNoLimitMs))
            return forever();
        const auto span =
            std::chrono::ceil<WaitClock::duration>(std::chrono::duration<double, std::milli>(ms));
        return TimeLimit(Kind::until, WaitClock::now() + span);
    }

    Kind kind() const noexcept { return kind_; }
    WaitClock::time_point deadline() const noexcept { return deadline_; }

    // What is left of a limit in microseconds for one system wait, rounded
    // up to whole milliseconds (Windows waits in milliseconds and cuts the
    // rest, which would end the wait early) and capped at a day (a wait
    // that ends before the deadline just waits again); 0 once it is due.
    std::int64_t next_wait_us() const noexcept
    {
        constexpr std::int64_t kDayUs = 86'400'000'000;
        const auto left = deadline_ - WaitClock::now();
        if (left <= WaitClock::duration::zero())
            return 0;
        const std::int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return ms >= kDayUs / 1000 ? kDayUs : ms * 1000;
    }

private:
    TimeLimit(Kind kind, WaitClock::time_point deadline) noexcept : kind_(kind), deadline_(deadline)
    {}

    Kind kind_;
    WaitClock::time_point deadline_;
};

}  // namespace luamods
