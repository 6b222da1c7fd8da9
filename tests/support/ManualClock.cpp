#include "support/ManualClock.h"

#include <utility>

namespace Telvar {
namespace Testing {

ManualClock::ManualClock(int64_t seconds) : seconds_(seconds), previous_(Clock::install(this)) {}

ManualClock::~ManualClock() { Clock::install(previous_); }

void ManualClock::readWith(std::function<int64_t()> read) { read_ = std::move(read); }

void ManualClock::sleepWith(std::function<void(int)> sleep) { sleep_ = std::move(sleep); }

int64_t ManualClock::nowSeconds() { return read_ ? read_() : seconds_.load(); }

int64_t ManualClock::monotonicMilliseconds() { return Clock::system().monotonicMilliseconds(); }

void ManualClock::sleepMilliseconds(int ms)
{
    if (sleep_)
        sleep_(ms);
    else
        Clock::system().sleepMilliseconds(ms);
}

} // namespace Testing
} // namespace Telvar
