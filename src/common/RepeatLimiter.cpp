#include "common/RepeatLimiter.h"

#include "common/Clock.h"

namespace Telvar {

void RepeatLimiter::roll(int64_t now)
{
    if (!open_ || now < windowEnd_)
        return;
    open_ = false;
    heldBack_ += counting_;
    counting_ = 0;
}

bool RepeatLimiter::occurred(uint64_t count)
{
    if (count == 0)
        return false;
    std::lock_guard<std::mutex> guard(lock_);
    const int64_t now = Clock::current().monotonicMilliseconds();
    roll(now);
    if (open_) {
        counting_ += count;
        return false;
    }
    open_ = true;
    windowEnd_ = now + windowMs_;
    counting_ = count - 1;
    return true;
}

uint64_t RepeatLimiter::takeHeldBack()
{
    std::lock_guard<std::mutex> guard(lock_);
    roll(Clock::current().monotonicMilliseconds());
    uint64_t held = heldBack_;
    heldBack_ = 0;
    return held;
}

std::string RepeatLimiter::summary(const std::string& line, uint64_t more)
{
    std::string digits = std::to_string(more);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return line + " (" + grouped + " more in the last minute)";
}

} // namespace Telvar
