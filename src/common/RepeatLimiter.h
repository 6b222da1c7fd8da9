#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace Telvar {

// "Log once, then count": a line that may repeat without end (a flood of
// unknown commands, a counter without a value) is written the first time,
// and the repeats within the following minute are only counted; the count
// is written once that minute is over. Safe to share between threads.
//
//   if (limiter.occurred())
//       log(line);
//   ...
//   if (uint64_t more = limiter.takeHeldBack())  // now and then, e.g. each round
//       log(RepeatLimiter::summary(line, more));
class RepeatLimiter {
public:
    static constexpr int64_t MINUTE_MS = 60000;

    explicit RepeatLimiter(int64_t windowMs = MINUTE_MS) : windowMs_(windowMs) {}

    // Counts count occurrences; true when the line is to be written now.
    bool occurred(uint64_t count = 1);

    // The repeats held back in a window that is over; each is handed out
    // once, 0 when none (or the window still runs).
    uint64_t takeHeldBack();

    // line + " (9,999 more in the last minute)".
    static std::string summary(const std::string& line, uint64_t more);

private:
    void roll(int64_t now);

    std::mutex lock_;
    const int64_t windowMs_;
    bool open_ = false;    // a line was written and its window runs
    int64_t windowEnd_ = 0;
    uint64_t counting_ = 0;
    uint64_t heldBack_ = 0;
};

} // namespace Telvar
