#include "common/TimeBase.h"

#include "common/Exception.h"

namespace Telvar {

TimeBase::TimeBase(int32_t seconds)
{
    TimeBase::setSeconds(seconds);
}

TimeBase::~TimeBase() = default;

void TimeBase::setSeconds(int32_t seconds)
{
    if (seconds < 0)
        throw TimeException(TimeException::TM_DATETIME, "", TELVAR_HERE);
    seconds_ = seconds;
}

} // namespace Telvar
