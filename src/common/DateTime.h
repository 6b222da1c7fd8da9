#pragma once

#include "common/TimeBase.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Telvar {

class TimeSpan;

// Calendar components of a moment. The defaults are those of moment 0 in UTC.
struct DateTimeParts {
    int32_t year = 1970;
    int32_t month = 1;   // 1 to 12
    int32_t day = 1;     // 1 to 31
    int32_t weekday = 3; // 0 = Monday .. 6 = Sunday
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    bool local = false;  // false: UTC components, true: local time

    bool operator==(const DateTimeParts& o) const;
    bool operator!=(const DateTimeParts& o) const { return !(*this == o); }
};

// Time-zone definition; only its destructor is used.
class TimeZoneDef {
public:
    virtual ~TimeZoneDef();
};

// A moment: whole seconds since 1970-01-01 00:00:00 UTC, 0 to 2147483647.
// Constructors and setters clamp out-of-range values instead of throwing.
class DateTime : public TimeBase {
public:
    static constexpr int32_t MAX_SECONDS = 2147483647;
    // Offset marker: the object has no offset of its own.
    static constexpr int32_t OFFSET_NONE = 2147483647;

    // parseDateTime kinds.
    static constexpr int PARSE_DATE_TIME = 0;
    static constexpr int PARSE_TIME = 1;
    static constexpr int PARSE_DATE = 2;

    // The current moment.
    DateTime();
    // Clamped to 0 .. MAX_SECONDS.
    explicit DateTime(int64_t seconds);
    // Copies the offset; an explicit one becomes the most recent explicit offset.
    DateTime(const DateTime& other);
    DateTime& operator=(const DateTime& other);
    // UTC components when parts.local is false, local time otherwise; the
    // weekday is ignored.
    explicit DateTime(const DateTimeParts& parts);
    // Components with an offset in minutes east of UTC (see set).
    DateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
             int32_t second, int32_t offset = OFFSET_NONE);
    ~DateTime() override;

    static DateTime now() { return DateTime(); }
    static const DateTime& maximum();

    // Clamped to 0 .. MAX_SECONDS.
    void setSeconds(int32_t seconds) override;

    // Components taken as UTC, each clamped to its range; with an offset
    // other than OFFSET_NONE they are the time at that offset. Moments
    // outside the representable range clamp to 0 or the maximum.
    void set(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
             int32_t second, int32_t offset = OFFSET_NONE);
    // Components in the host's local time (offset none).
    void setLocal(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                  int32_t second);

    int32_t offset() const { return offset_; }
    bool hasOffset() const { return offset_ != OFFSET_NONE; }
    // OFFSET_NONE drops the object's own offset.
    void setOffset(int32_t minutesEast);

    // Arithmetic clamps to the representable range, except that subtracting
    // in place below the epoch throws TimeException TM_ANCIENT.
    DateTime& operator+=(const TimeSpan& span);
    DateTime& operator-=(const TimeSpan& span);
    DateTime operator+(const TimeSpan& span) const;
    DateTime operator-(const TimeSpan& span) const;
    TimeSpan operator-(const DateTime& other) const;

    bool operator==(const DateTime& o) const { return seconds_ == o.seconds_; }
    bool operator!=(const DateTime& o) const { return seconds_ != o.seconds_; }
    bool operator<(const DateTime& o) const { return seconds_ < o.seconds_; }
    bool operator<=(const DateTime& o) const { return seconds_ <= o.seconds_; }
    bool operator>(const DateTime& o) const { return seconds_ > o.seconds_; }
    bool operator>=(const DateTime& o) const { return seconds_ >= o.seconds_; }

    // UTC date (year, month, day, weekday; time fields 0).
    DateTimeParts dateParts() const;
    // UTC time of day (hour, minute, second; date fields of moment 0).
    DateTimeParts timeParts() const;
    DateTimeParts utcParts() const;
    // Components at localOffset(false); local flag true.
    DateTimeParts localParts() const;

    // Minutes east of UTC: the own offset if set; else, with useRecent, the
    // most recent explicit offset set on any DateTime if there is one; else
    // the host's offset at this moment.
    int32_t localOffset(bool useRecent = false) const;

    // Moves back to the last boundary of span in local time (spans below
    // 2 seconds leave the moment alone).
    DateTime& alignTo(const TimeSpan& span);

    // UTC: "2011-03-04T05:06:07Z". Local: "2011-03-04T05:06:07", with
    // withOffset followed by "+01:00". Compact drops "-" and ":" inside the
    // date and time (the offset keeps its ":").
    std::string toText(bool utc, bool compact = false, bool withOffset = false) const;

    // Throws TimeException TM_INPUT. Texts with "Z" or an offset give UTC
    // parts, texts without a zone give local parts.
    static DateTimeParts parseDateTime(const std::string& text, int kind = PARSE_DATE_TIME);

    // Returns once the clock has advanced n seconds.
    static void waitSeconds(int32_t n);
    // Sleeps with Clock::current(), as waitSeconds does. A thread asked to
    // end stops here.
    static void sleepMilliseconds(int ms);

    // Picks up a changed host time zone (e.g. a new TZ value).
    static void reloadTimeZone();

private:
    int32_t offset_ = OFFSET_NONE;

    void assign(int64_t seconds);
    static int64_t readClock();
};

} // namespace Telvar
