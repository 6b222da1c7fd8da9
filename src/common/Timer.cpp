#include "common/Timer.h"

namespace Telvar {

Timer::Timer() = default;

Timer::~Timer() = default;

void Timer::setDeadline(const DateTime& moment)
{
    deadline_ = moment;
}

bool Timer::isExpired() const
{
    return DateTime() > deadline_;
}

} // namespace Telvar
