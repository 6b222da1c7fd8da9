#pragma once

#include "common/TimeBase.h"

#include <cstdint>
#include <string>

namespace Telvar {

// Components of a span text, unchecked.
struct TimeSpanParts {
    int32_t days = 0;
    int32_t hours = 0;
    int32_t minutes = 0;
    int32_t seconds = 0;
    bool negative = false;

    bool operator==(const TimeSpanParts& o) const;
    bool operator!=(const TimeSpanParts& o) const { return !(*this == o); }
};

// Signed whole seconds; written as "P" texts such as "P1D2H3M4S" or "P-30S".
class TimeSpan : public TimeBase {
public:
    TimeSpan() = default;
    TimeSpan(const TimeSpan&) = default;
    TimeSpan& operator=(const TimeSpan&) = default;
    explicit TimeSpan(int32_t seconds);
    // No range checks; a total beyond 32 bits saturates.
    explicit TimeSpan(const TimeSpanParts& parts);
    // base's seconds plus span (saturating).
    TimeSpan(const TimeBase& base, const TimeSpan& span);
    ~TimeSpan() override;

    // Negative values are allowed.
    void setSeconds(int32_t seconds) override;

    // Throws TimeException TM_DAYS (days outside -24855..24855 or a total
    // beyond 32 bits), TM_HOURS, TM_MINUTES, TM_SECONDS.
    void setParts(int32_t days, int32_t hours, int32_t minutes, int32_t seconds);
    TimeSpanParts toParts() const;

    std::string toText() const;
    // Throws TimeException TM_INPUT when the text does not start with "P".
    static TimeSpanParts parseTimeSpan(const std::string& text);

    // Saturating.
    TimeSpan operator+(const TimeSpan& o) const;
    TimeSpan operator-(const TimeSpan& o) const;
    TimeSpan operator-() const;

    bool operator==(const TimeSpan& o) const { return seconds_ == o.seconds_; }
    bool operator!=(const TimeSpan& o) const { return seconds_ != o.seconds_; }
    bool operator<(const TimeSpan& o) const { return seconds_ < o.seconds_; }
    bool operator<=(const TimeSpan& o) const { return seconds_ <= o.seconds_; }
    bool operator>(const TimeSpan& o) const { return seconds_ > o.seconds_; }
    bool operator>=(const TimeSpan& o) const { return seconds_ >= o.seconds_; }

    // Clamps a 64-bit count into the 32-bit range.
    static int32_t saturate(int64_t seconds);
};

} // namespace Telvar
