#pragma once

#include <cstdint>

namespace Telvar {

// Common base of moments and spans: a signed 32-bit count of seconds.
class TimeBase {
public:
    TimeBase() = default;
    // Throws TimeException TM_DATETIME for a negative count.
    explicit TimeBase(int32_t seconds);
    TimeBase(const TimeBase&) = default;
    TimeBase& operator=(const TimeBase&) = default;
    virtual ~TimeBase();

    int32_t seconds() const { return seconds_; }
    // Throws TimeException TM_DATETIME for a negative count; DateTime clamps
    // and TimeSpan accepts negative values instead.
    virtual void setSeconds(int32_t seconds);

protected:
    int32_t seconds_ = 0;
};

} // namespace Telvar
