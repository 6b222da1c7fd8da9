#include "common/DateTime.h"

#include "common/Clock.h"
#include "common/Exception.h"
#include "common/TimeSpan.h"
#include "platform/TimeZone.h"

#include <algorithm>
#include <atomic>

namespace Telvar {

namespace {

constexpr int64_t MAX_MOMENT = DateTime::MAX_SECONDS;
// Far enough to see both sides of any zone transition around a moment.
constexpr int64_t TRANSITION_REACH = 100000;

std::atomic<int32_t> g_recentOffset{DateTime::OFFSET_NONE};
std::atomic<bool> g_zoneReady{false};

void ensureTimeZone()
{
    if (!g_zoneReady.exchange(true))
        Platform::initialiseTimeZone();
}

void noteExplicitOffset(int32_t offset)
{
    if (offset != DateTime::OFFSET_NONE)
        g_recentOffset = offset;
}

int64_t clampMoment(int64_t seconds)
{
    return std::min(std::max<int64_t>(seconds, 0), MAX_MOMENT);
}

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int64_t floorMod(int64_t a, int64_t b)
{
    return a - floorDiv(a, b) * b;
}

bool isLeap(int32_t year)
{
    return (year - 1968) % 4 == 0;
}

int32_t monthLength(int32_t year, int32_t month)
{
    switch (month) {
    case 2:
        return isLeap(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
        return 30;
    default:
        return 31;
    }
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int32_t& year, int32_t& month, int32_t& day)
{
    z += 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int32_t>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// Calendar components of a second count taken as wall time of some frame.
DateTimeParts partsOf(int64_t seconds, bool local)
{
    DateTimeParts p;
    const int64_t days = floorDiv(seconds, 86400);
    const int64_t rest = seconds - days * 86400;
    civilFromDays(days, p.year, p.month, p.day);
    p.weekday = static_cast<int32_t>(floorMod(days + 3, 7)); // 1970-01-01 was a Thursday
    p.hour = static_cast<int32_t>(rest / 3600);
    p.minute = static_cast<int32_t>((rest / 60) % 60);
    p.second = static_cast<int32_t>(rest % 60);
    p.local = local;
    return p;
}

int32_t clampField(int32_t value, int32_t low, int32_t high)
{
    return std::min(std::max(value, low), high);
}

// Clamps the components to their ranges and to the last representable year,
// then counts their seconds as if they were UTC (not yet clamped as a moment).
int64_t componentSeconds(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                         int32_t second)
{
    year = std::max(year, 1970);
    month = clampField(month, 1, 12);
    day = clampField(day, 1, monthLength(year, month));
    hour = clampField(hour, 0, 23);
    minute = clampField(minute, 0, 59);
    second = clampField(second, 0, 59);

    static const DateTimeParts last = partsOf(MAX_MOMENT, false);
    if (year > last.year) {
        year = last.year;
        month = std::min(month, last.month);
        if (month == last.month) {
            day = std::min(day, last.day);
            if (day == last.day) {
                hour = std::min(hour, last.hour);
                if (hour == last.hour) {
                    minute = std::min(minute, last.minute);
                    if (minute == last.minute)
                        second = std::min(second, last.second);
                }
            }
        }
    }
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

int32_t hostOffsetAt(int64_t utcSeconds)
{
    return Platform::localOffsetSeconds(utcSeconds);
}

// The UTC moment of a host wall-clock time given as seconds. An ambiguous
// wall time (clocks set back) gives its first occurrence; a wall time that
// does not exist (clocks set forward) is read with the offset before the
// jump, which lands the same distance after it.
int64_t hostLocalToUtc(int64_t wall)
{
    const int32_t before = hostOffsetAt(wall - TRANSITION_REACH);
    const int32_t after = hostOffsetAt(wall + TRANSITION_REACH);
    const int32_t guess = hostOffsetAt(wall - hostOffsetAt(wall));
    bool found = false;
    int64_t best = 0;
    for (int32_t offset : {guess, before, after}) {
        const int64_t utc = wall - offset;
        if (hostOffsetAt(utc) == offset && (!found || utc < best)) {
            best = utc;
            found = true;
        }
    }
    return found ? best : wall - before;
}

std::string pad2(int32_t value)
{
    std::string s = std::to_string(value);
    return s.size() < 2 ? "0" + s : s;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool allDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), isDigit);
}

[[noreturn]] void failInput(const std::string& text)
{
    throw TimeException(TimeException::TM_INPUT, text, TELVAR_HERE);
}

enum class Zone { Host, Utc, Offset };

struct ParsedTexts {
    std::string year, month, day, hour, minute, second;
    Zone zone = Zone::Host;
    int32_t offset = 0; // minutes east, for Zone::Offset
};

// The two-character field at pos, after an optional separator; moves pos
// past it. False at the end of the text, where the field keeps its default.
// previous and name word the errors ("after mm (month)", "Day").
bool nextField(const std::string& s, size_t& pos, char separator, const char* previous, const char* name,
               std::string& field)
{
    if (pos >= s.size())
        return false;
    if (!isDigit(s[pos])) {
        if (s[pos] != separator)
            failInput(std::string("Expected '") + separator + "' after " + previous + ".");
        ++pos;
    }
    if (s.size() - pos < 2)
        failInput(std::string("Illegal input format. ") + name + " must have 2 digits.");
    field = s.substr(pos, 2);
    pos += 2;
    return true;
}

void parseDateText(const std::string& s, ParsedTexts& t)
{
    if (s.size() < 4)
        failInput("Minimum input: \"yyyy\".");
    t.year = s.substr(0, 4);
    t.month = "01";
    t.day = "01";
    size_t pos = 4;
    if (nextField(s, pos, '-', "yyyy (year)", "Month", t.month) &&
        nextField(s, pos, '-', "mm (month)", "Day", t.day) && s.size() - pos > 1)
        failInput("Input too long.");
}

void parseZoneText(const std::string& s, size_t pos, ParsedTexts& t)
{
    if (s[pos] == 'Z') {
        if (s.size() - pos > 1)
            failInput("Input too long.");
        t.zone = Zone::Utc;
        return;
    }
    const char sign = s[pos];
    if (sign != '+' && sign != '-')
        failInput("Expected '+' or '-' before timezone.");
    ++pos;
    if (s.size() - pos < 2 || !isDigit(s[pos]) || !isDigit(s[pos + 1]))
        failInput("Illegal input format. Hours in timezone must have 2 digits.");
    const int32_t hours = (s[pos] - '0') * 10 + (s[pos + 1] - '0');
    pos += 2;
    int32_t minutes = 0;
    if (pos < s.size()) {
        if (!isDigit(s[pos])) {
            if (s[pos] != ':')
                failInput("Expected ':' after hh (hours) in timezone.");
            ++pos;
        }
        if (s.size() - pos < 2 || !isDigit(s[pos]) || !isDigit(s[pos + 1]))
            failInput("Illegal input format. Minutes in timezone must have 2 digits.");
        minutes = (s[pos] - '0') * 10 + (s[pos + 1] - '0');
        pos += 2;
        if (s.size() - pos > 1)
            failInput("Input too long.");
    }
    t.offset = (hours * 60 + minutes) * (sign == '-' ? -1 : 1);
    t.zone = Zone::Offset;
}

void parseTimeText(const std::string& s, ParsedTexts& t)
{
    if (s.size() < 2)
        failInput("Minimum input: \"hh\".");
    if (!isDigit(s[0]) || !isDigit(s[1]))
        failInput("Minimum input format: \"hh\".");
    t.hour = s.substr(0, 2);
    t.minute = "00";
    t.second = "00";
    size_t pos = 2;
    if (nextField(s, pos, ':', "hh (hours)", "Minutes", t.minute) &&
        nextField(s, pos, ':', "mm (minutes)", "Seconds", t.second) && pos < s.size())
        parseZoneText(s, pos, t);
}

int32_t valueOr(const std::string& text, int32_t fallback)
{
    return allDigits(text) ? std::stoi(text) : fallback;
}

} // namespace

bool DateTimeParts::operator==(const DateTimeParts& o) const
{
    return year == o.year && month == o.month && day == o.day && weekday == o.weekday &&
           hour == o.hour && minute == o.minute && second == o.second && local == o.local;
}

TimeZoneDef::~TimeZoneDef() = default;

DateTime::DateTime()
{
    ensureTimeZone();
    int64_t seconds = readClock();
    if (seconds == MAX_SECONDS)
        seconds = readClock();
    assign(seconds);
}

DateTime::DateTime(int64_t seconds)
{
    ensureTimeZone();
    assign(seconds);
}

DateTime::DateTime(const DateTime& other) : TimeBase(other), offset_(other.offset_)
{
    noteExplicitOffset(offset_);
}

DateTime& DateTime::operator=(const DateTime& other)
{
    seconds_ = other.seconds_;
    offset_ = other.offset_;
    noteExplicitOffset(offset_);
    return *this;
}

DateTime::DateTime(const DateTimeParts& parts)
{
    ensureTimeZone();
    if (parts.local)
        setLocal(parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second);
    else
        set(parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second);
}

DateTime::DateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                   int32_t second, int32_t offset)
{
    ensureTimeZone();
    set(year, month, day, hour, minute, second, offset);
}

DateTime::~DateTime() = default;

const DateTime& DateTime::maximum()
{
    static const DateTime max(static_cast<int64_t>(MAX_SECONDS));
    return max;
}

void DateTime::setSeconds(int32_t seconds)
{
    assign(seconds);
}

void DateTime::set(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                   int32_t second, int32_t offset)
{
    int64_t seconds = componentSeconds(year, month, day, hour, minute, second);
    if (offset != OFFSET_NONE)
        seconds -= static_cast<int64_t>(offset) * 60;
    assign(seconds);
    offset_ = offset;
    noteExplicitOffset(offset);
}

void DateTime::setLocal(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                        int32_t second)
{
    assign(hostLocalToUtc(componentSeconds(year, month, day, hour, minute, second)));
    offset_ = OFFSET_NONE;
}

void DateTime::setOffset(int32_t minutesEast)
{
    offset_ = minutesEast;
    noteExplicitOffset(minutesEast);
}

DateTime& DateTime::operator+=(const TimeSpan& span)
{
    assign(static_cast<int64_t>(seconds_) + span.seconds());
    return *this;
}

DateTime& DateTime::operator-=(const TimeSpan& span)
{
    const int64_t result = static_cast<int64_t>(seconds_) - span.seconds();
    if (result < 0)
        throw TimeException(TimeException::TM_ANCIENT, "", TELVAR_HERE);
    assign(result);
    return *this;
}

DateTime DateTime::operator+(const TimeSpan& span) const
{
    DateTime result(*this);
    result += span;
    return result;
}

DateTime DateTime::operator-(const TimeSpan& span) const
{
    // Unlike the in-place form this one saturates at the epoch.
    DateTime result(*this);
    result.assign(static_cast<int64_t>(seconds_) - span.seconds());
    return result;
}

TimeSpan DateTime::operator-(const DateTime& other) const
{
    return TimeSpan(seconds_ - other.seconds_);
}

DateTimeParts DateTime::dateParts() const
{
    DateTimeParts p = partsOf(seconds_, false);
    p.hour = p.minute = p.second = 0;
    return p;
}

DateTimeParts DateTime::timeParts() const
{
    const DateTimeParts full = partsOf(seconds_, false);
    DateTimeParts p;
    p.hour = full.hour;
    p.minute = full.minute;
    p.second = full.second;
    return p;
}

DateTimeParts DateTime::utcParts() const
{
    return partsOf(seconds_, false);
}

DateTimeParts DateTime::localParts() const
{
    const int64_t offset = offset_ != OFFSET_NONE ? static_cast<int64_t>(offset_) * 60
                                                  : hostOffsetAt(seconds_);
    return partsOf(seconds_ + offset, true);
}

int32_t DateTime::localOffset(bool useRecent) const
{
    if (offset_ != OFFSET_NONE)
        return offset_;
    const int32_t recent = g_recentOffset;
    if (useRecent && recent != OFFSET_NONE)
        return recent;
    return hostOffsetAt(seconds_) / 60;
}

DateTime& DateTime::alignTo(const TimeSpan& span)
{
    const int64_t step = span.seconds();
    if (step < 2)
        return *this;
    auto offsetAt = [this](int64_t moment) -> int64_t {
        return offset_ != OFFSET_NONE ? static_cast<int64_t>(offset_) * 60
                                      : hostOffsetAt(clampMoment(moment));
    };
    const int64_t t = seconds_;
    const int64_t offset = offsetAt(t);
    int64_t aligned = t - floorMod(t + offset, step);
    // The boundary may lie on the other side of a zone change.
    const int64_t offsetThere = offsetAt(aligned);
    if (offsetThere != offset)
        aligned = t - floorMod(t + offsetThere, step);
    assign(aligned);
    return *this;
}

std::string DateTime::toText(bool utc, bool compact, bool withOffset) const
{
    const DateTimeParts p = utc ? utcParts() : localParts();
    const char* dateSep = compact ? "" : "-";
    const char* timeSep = compact ? "" : ":";
    std::string text = std::to_string(p.year) + dateSep + pad2(p.month) + dateSep + pad2(p.day) +
                       "T" + pad2(p.hour) + timeSep + pad2(p.minute) + timeSep + pad2(p.second);
    if (utc)
        return text + "Z";
    if (withOffset) {
        int32_t offset = localOffset(false);
        text += offset < 0 ? "-" : "+";
        offset = offset < 0 ? -offset : offset;
        text += pad2(offset / 60) + ":" + pad2(offset % 60);
    }
    return text;
}

DateTimeParts DateTime::parseDateTime(const std::string& text, int kind)
{
    ParsedTexts t;
    switch (kind) {
    case PARSE_DATE_TIME: {
        const size_t split = text.find('T');
        parseDateText(text.substr(0, split), t);
        if (split == std::string::npos || split + 1 >= text.size())
            parseTimeText("00:00:00", t);
        else
            parseTimeText(text.substr(split + 1), t);
        break;
    }
    case PARSE_TIME:
        parseTimeText(text, t);
        break;
    case PARSE_DATE:
        parseDateText(text, t);
        parseTimeText("00:00:00", t);
        break;
    default:
        throw TimeException(TimeException::TM_INPUT, "Unknown kind of date/time text.",
                            TELVAR_HERE);
    }

    // Missing or non-numeric components come from the current moment, seen
    // in the frame the text is written in.
    const DateTime current;
    DateTimeParts now;
    switch (t.zone) {
    case Zone::Utc:
        now = current.utcParts();
        break;
    case Zone::Offset:
        now = partsOf(current.seconds() + static_cast<int64_t>(t.offset) * 60, false);
        break;
    case Zone::Host:
        now = current.localParts();
        break;
    }
    const int64_t wall = componentSeconds(valueOr(t.year, now.year), valueOr(t.month, now.month),
                                          valueOr(t.day, now.day), valueOr(t.hour, now.hour),
                                          valueOr(t.minute, now.minute),
                                          valueOr(t.second, now.second));
    switch (t.zone) {
    case Zone::Utc:
        return DateTime(clampMoment(wall)).utcParts();
    case Zone::Offset:
        return DateTime(clampMoment(wall - static_cast<int64_t>(t.offset) * 60)).utcParts();
    case Zone::Host:
        break;
    }
    return DateTime(clampMoment(hostLocalToUtc(wall))).localParts();
}

void DateTime::waitSeconds(int32_t n)
{
    Clock& clock = Clock::current();
    const int64_t start = clock.nowSeconds();
    while (clock.nowSeconds() - start < n)
        clock.sleepMilliseconds(100);
}

void DateTime::sleepMilliseconds(int ms) { Clock::current().sleepMilliseconds(ms); }

void DateTime::reloadTimeZone()
{
    Platform::initialiseTimeZone();
    g_zoneReady = true;
}

void DateTime::assign(int64_t seconds)
{
    seconds_ = static_cast<int32_t>(clampMoment(seconds));
}

int64_t DateTime::readClock() { return Clock::current().nowSeconds(); }

} // namespace Telvar
