#include "common/TimeSpan.h"

#include "common/Exception.h"

#include <limits>

namespace Telvar {

namespace {

constexpr int32_t MAX_DAYS = 24855;

// The decimal digits directly before position end, saturating.
int32_t digitsBefore(const std::string& text, size_t end)
{
    size_t start = end;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9')
        --start;
    int64_t value = 0;
    for (size_t i = start; i < end; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > std::numeric_limits<int32_t>::max())
            return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(value);
}

int32_t unitValue(const std::string& text, char letter)
{
    size_t at = text.find(letter);
    return at == std::string::npos ? 0 : digitsBefore(text, at);
}

} // namespace

bool TimeSpanParts::operator==(const TimeSpanParts& o) const
{
    return days == o.days && hours == o.hours && minutes == o.minutes && seconds == o.seconds &&
           negative == o.negative;
}

TimeSpan::TimeSpan(int32_t seconds)
{
    seconds_ = seconds;
}

TimeSpan::TimeSpan(const TimeSpanParts& parts)
{
    int64_t total = static_cast<int64_t>(parts.days) * 86400 +
                    static_cast<int64_t>(parts.hours) * 3600 +
                    static_cast<int64_t>(parts.minutes) * 60 + parts.seconds;
    seconds_ = saturate(parts.negative ? -total : total);
}

TimeSpan::TimeSpan(const TimeBase& base, const TimeSpan& span)
{
    seconds_ = saturate(static_cast<int64_t>(base.seconds()) + span.seconds());
}

TimeSpan::~TimeSpan() = default;

void TimeSpan::setSeconds(int32_t seconds)
{
    seconds_ = seconds;
}

void TimeSpan::setParts(int32_t days, int32_t hours, int32_t minutes, int32_t seconds)
{
    if (days < -MAX_DAYS || days > MAX_DAYS)
        throw TimeException(TimeException::TM_DAYS, "", TELVAR_HERE);
    if (hours < 0 || hours > 23)
        throw TimeException(TimeException::TM_HOURS, "", TELVAR_HERE);
    if (minutes < 0 || minutes > 59)
        throw TimeException(TimeException::TM_MINUTES, "", TELVAR_HERE);
    if (seconds < 0 || seconds > 59)
        throw TimeException(TimeException::TM_SECONDS, "", TELVAR_HERE);
    int64_t total = static_cast<int64_t>(days) * 86400 + hours * 3600 + minutes * 60 + seconds;
    // 24855 days and a full day's hours do not fit in 32 bits any more.
    if (total != saturate(total))
        throw TimeException(TimeException::TM_DAYS, "", TELVAR_HERE);
    seconds_ = static_cast<int32_t>(total);
}

TimeSpanParts TimeSpan::toParts() const
{
    int64_t n = seconds_ < 0 ? -static_cast<int64_t>(seconds_) : seconds_;
    TimeSpanParts p;
    p.days = static_cast<int32_t>(n / 86400);
    p.hours = static_cast<int32_t>((n / 3600) % 24);
    p.minutes = static_cast<int32_t>((n / 60) % 60);
    p.seconds = static_cast<int32_t>(n % 60);
    p.negative = seconds_ < 0;
    return p;
}

std::string TimeSpan::toText() const
{
    TimeSpanParts p = toParts();
    std::string text = "P";
    if (p.negative)
        text += "-";
    if (p.days != 0)
        text += std::to_string(p.days) + "D";
    if (p.hours != 0)
        text += std::to_string(p.hours) + "H";
    if (p.minutes != 0)
        text += std::to_string(p.minutes) + "M";
    if (p.seconds != 0)
        text += std::to_string(p.seconds) + "S";
    if (text == "P")
        text += "0";
    return text;
}

TimeSpanParts TimeSpan::parseTimeSpan(const std::string& text)
{
    TimeSpanParts p;
    if (text.empty())
        return p;
    if (text[0] != 'P')
        throw TimeException(TimeException::TM_INPUT, "Expected 'P' in beginning of time span.",
                            TELVAR_HERE);
    p.negative = text.size() > 1 && text[1] == '-';
    p.days = unitValue(text, 'D');
    p.hours = unitValue(text, 'H');
    p.minutes = unitValue(text, 'M');
    p.seconds = unitValue(text, 'S');
    return p;
}

TimeSpan TimeSpan::operator+(const TimeSpan& o) const
{
    return TimeSpan(saturate(static_cast<int64_t>(seconds_) + o.seconds_));
}

TimeSpan TimeSpan::operator-(const TimeSpan& o) const
{
    return TimeSpan(saturate(static_cast<int64_t>(seconds_) - o.seconds_));
}

TimeSpan TimeSpan::operator-() const
{
    return TimeSpan(saturate(-static_cast<int64_t>(seconds_)));
}

int32_t TimeSpan::saturate(int64_t seconds)
{
    if (seconds > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (seconds < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(seconds);
}

} // namespace Telvar
