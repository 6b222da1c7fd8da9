#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/TimeSpan.h"
#include "support/ManualClock.h"
#include "platform/Process.h"
#include "support/ScopedTimeZone.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Telvar;

namespace {

using ZoneGuard = Testing::ScopedTimeZone;

// Fixes "now" for one test.
using ClockGuard = Telvar::Testing::ManualClock;

DateTimeParts parts(int32_t y, int32_t mo, int32_t d, int32_t wd, int32_t h, int32_t mi, int32_t s,
                    bool local)
{
    DateTimeParts p;
    p.year = y;
    p.month = mo;
    p.day = d;
    p.weekday = wd;
    p.hour = h;
    p.minute = mi;
    p.second = s;
    p.local = local;
    return p;
}

std::string parseError(const std::string& text, int kind)
{
    try {
        DateTime::parseDateTime(text, kind);
    } catch (const TimeException& e) {
        if (e.code() != TimeException::TM_INPUT)
            return "wrong code " + std::to_string(e.code());
        return e.message();
    }
    return "no exception";
}

// 2011-03-04T05:06:07Z, a Friday.
constexpr int64_t MARCH_4_2011 = 1299215167;

} // namespace

TEST(DateTimeParse, DateAndTimeFormsInUtcAndWithOffsets)
{
    ZoneGuard zone("Europe/Berlin");
    const DateTimeParts expected = parts(2011, 3, 4, 4, 5, 6, 7, false);
    EXPECT_EQ(expected, DateTime::parseDateTime("2011-03-04T05:06:07Z"));
    EXPECT_EQ(expected, DateTime::parseDateTime("20110304T050607Z"));
    EXPECT_EQ(parts(2011, 3, 4, 4, 3, 6, 7, false), DateTime::parseDateTime("2011-03-04T05:06:07+02:00"));
    EXPECT_EQ(parts(2011, 3, 4, 4, 3, 6, 7, false), DateTime::parseDateTime("2011-03-04T05:06:07+0200"));
    EXPECT_EQ(parts(2011, 3, 4, 4, 3, 6, 7, false), DateTime::parseDateTime("2011-03-04T05:06:07+02"));
    EXPECT_EQ(parts(2011, 3, 4, 4, 6, 36, 7, false), DateTime::parseDateTime("2011-03-04T05:06:07-01:30"));
    // An offset may move the moment onto another day.
    EXPECT_EQ(parts(2011, 3, 3, 3, 22, 6, 7, false), DateTime::parseDateTime("2011-03-04T05:06:07+07:00"));
}

TEST(DateTimeParse, TextsWithoutZoneAreHostLocalTime)
{
    ZoneGuard zone("Europe/Berlin");
    EXPECT_EQ(parts(2011, 3, 4, 4, 5, 6, 7, true), DateTime::parseDateTime("2011-03-04T05:06:07"));
    EXPECT_EQ(parts(2011, 1, 1, 5, 0, 0, 0, true), DateTime::parseDateTime("2011", DateTime::PARSE_DATE));
    EXPECT_EQ(parts(2011, 3, 1, 1, 0, 0, 0, true), DateTime::parseDateTime("2011-03"));
    EXPECT_EQ(parts(2011, 3, 4, 4, 0, 0, 0, true), DateTime::parseDateTime("2011-03-04T"));
    EXPECT_EQ(parts(2011, 3, 4, 4, 5, 0, 0, true), DateTime::parseDateTime("2011-03-04T05"));
    // The moment behind local parts really is local: 05:06:07 CET is 04:06:07 UTC.
    EXPECT_EQ("2011-03-04T04:06:07Z",
              DateTime(DateTime::parseDateTime("2011-03-04T05:06:07")).toText(true));
}

TEST(DateTimeParse, MissingAndNonNumericComponentsComeFromNow)
{
    ZoneGuard zone("Asia/Kolkata");
    ClockGuard clock(MARCH_4_2011); // 10:36:07 in Kolkata
    EXPECT_EQ(parts(2011, 3, 4, 4, 12, 0, 0, true), DateTime::parseDateTime("12", DateTime::PARSE_TIME));
    EXPECT_EQ(parts(2011, 3, 4, 4, 12, 36, 0, true), DateTime::parseDateTime("12:xx", DateTime::PARSE_TIME));
    EXPECT_EQ(parts(2011, 7, 4, 0, 0, 0, 0, true), DateTime::parseDateTime("yyyy-07-dd", DateTime::PARSE_DATE));
    // With "Z" the current date is the UTC one.
    EXPECT_EQ(parts(2011, 3, 4, 4, 23, 0, 0, false),
              DateTime::parseDateTime("23:00:00Z", DateTime::PARSE_TIME));
}

TEST(DateTimeParse, EveryErrorHasItsMessage)
{
    struct Case {
        const char* text;
        int kind;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"201", DateTime::PARSE_DATE, "Minimum input: \"yyyy\"."},
        {"T05:06:07", DateTime::PARSE_DATE_TIME, "Minimum input: \"yyyy\"."},
        {"2011/03/04", DateTime::PARSE_DATE, "Expected '-' after yyyy (year)."},
        {"2011-3", DateTime::PARSE_DATE, "Illegal input format. Month must have 2 digits."},
        {"2011-", DateTime::PARSE_DATE, "Illegal input format. Month must have 2 digits."},
        {"2011-03/04", DateTime::PARSE_DATE, "Expected '-' after mm (month)."},
        {"2011-03-4", DateTime::PARSE_DATE, "Illegal input format. Day must have 2 digits."},
        {"2011-03-", DateTime::PARSE_DATE, "Illegal input format. Day must have 2 digits."},
        {"2011-03-0412", DateTime::PARSE_DATE, "Input too long."},
        {"1", DateTime::PARSE_TIME, "Minimum input: \"hh\"."},
        {"2011-03-04T1", DateTime::PARSE_DATE_TIME, "Minimum input: \"hh\"."},
        {"a1", DateTime::PARSE_TIME, "Minimum input format: \"hh\"."},
        {"12.30", DateTime::PARSE_TIME, "Expected ':' after hh (hours)."},
        {"12Z", DateTime::PARSE_TIME, "Expected ':' after hh (hours)."},
        {"123", DateTime::PARSE_TIME, "Illegal input format. Minutes must have 2 digits."},
        {"12:3", DateTime::PARSE_TIME, "Illegal input format. Minutes must have 2 digits."},
        {"12:30.15", DateTime::PARSE_TIME, "Expected ':' after mm (minutes)."},
        {"12:30:1", DateTime::PARSE_TIME, "Illegal input format. Seconds must have 2 digits."},
        {"12:30:15ZZ", DateTime::PARSE_TIME, "Input too long."},
        {"12:30:15 02:00", DateTime::PARSE_TIME, "Expected '+' or '-' before timezone."},
        {"12:30:15+2", DateTime::PARSE_TIME, "Illegal input format. Hours in timezone must have 2 digits."},
        {"12:30:15+x2", DateTime::PARSE_TIME, "Illegal input format. Hours in timezone must have 2 digits."},
        {"12:30:15+02.00", DateTime::PARSE_TIME, "Expected ':' after hh (hours) in timezone."},
        {"12:30:15+02:0", DateTime::PARSE_TIME, "Illegal input format. Minutes in timezone must have 2 digits."},
        {"12:30:15+02:", DateTime::PARSE_TIME, "Illegal input format. Minutes in timezone must have 2 digits."},
        {"12:30:15+02:x0", DateTime::PARSE_TIME, "Illegal input format. Minutes in timezone must have 2 digits."},
        {"12:30:15+02:0012", DateTime::PARSE_TIME, "Input too long."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.message, parseError(c.text, c.kind)) << c.text;
    EXPECT_EQ("Unknown kind of date/time text.", parseError("2011", 7));
}

TEST(DateTimeParse, OneStrayByteAfterDayOrZoneMinutesIsTolerated)
{
    EXPECT_EQ(parts(2011, 3, 4, 4, 0, 0, 0, false), DateTime::parseDateTime("2011-03-04T00:00:00+00:00x"));
    ZoneGuard zone("UTC");
    EXPECT_EQ(parts(2011, 3, 4, 4, 0, 0, 0, true), DateTime::parseDateTime("2011-03-04x", DateTime::PARSE_DATE));
}

TEST(DateTimeSet, ComponentsAreClampedToTheirRanges)
{
    EXPECT_EQ("1970-03-04T05:06:07Z", DateTime(1969, 3, 4, 5, 6, 7).toText(true));
    EXPECT_EQ("2011-12-04T05:06:07Z", DateTime(2011, 13, 4, 5, 6, 7).toText(true));
    EXPECT_EQ("2011-01-04T05:06:07Z", DateTime(2011, 0, 4, 5, 6, 7).toText(true));
    EXPECT_EQ("2011-04-30T05:06:07Z", DateTime(2011, 4, 31, 5, 6, 7).toText(true));
    EXPECT_EQ("2011-02-28T05:06:07Z", DateTime(2011, 2, 29, 5, 6, 7).toText(true));
    EXPECT_EQ("2012-02-29T05:06:07Z", DateTime(2012, 2, 29, 5, 6, 7).toText(true));
    EXPECT_EQ("2000-02-29T00:00:00Z", DateTime(2000, 2, 30, 0, 0, 0).toText(true));
    EXPECT_EQ("2011-03-01T23:59:59Z", DateTime(2011, 3, -5, 24, 60, 61).toText(true));
    EXPECT_EQ("2011-03-04T00:00:00Z", DateTime(2011, 3, 4, -1, -1, -1).toText(true));
}

TEST(DateTimeSet, YearsBeyondTheMaximumAreLoweredFieldByField)
{
    // Lowered only while the earlier fields equal the maximum's.
    EXPECT_EQ("2038-01-10T22:00:00Z", DateTime(2040, 5, 10, 22, 0, 0).toText(true));
    EXPECT_EQ("2038-01-19T03:10:59Z", DateTime(2039, 1, 25, 23, 10, 59).toText(true));
    EXPECT_EQ(DateTime::MAX_SECONDS, DateTime(2100, 12, 31, 23, 59, 59).seconds());
    // Later than the maximum within its own year: the maximum, not the epoch.
    EXPECT_EQ(DateTime::MAX_SECONDS, DateTime(2038, 6, 1, 0, 0, 0).seconds());
    EXPECT_EQ(DateTime::MAX_SECONDS, DateTime(2038, 1, 19, 3, 14, 8).seconds());
    EXPECT_EQ(DateTime::MAX_SECONDS - 1, DateTime(2038, 1, 19, 3, 14, 6).seconds());
}

TEST(DateTimeSet, OffsetsShiftTheMomentAndBecomeTheRecentOne)
{
    ZoneGuard zone("UTC");
    DateTime east(2011, 3, 4, 5, 6, 7, 120);
    EXPECT_EQ("2011-03-04T03:06:07Z", east.toText(true));
    EXPECT_EQ(120, east.localOffset());
    EXPECT_EQ("2011-03-04T05:06:07+02:00", east.toText(false, false, true));
    EXPECT_EQ(parts(2011, 3, 4, 4, 5, 6, 7, true), east.localParts());

    DateTime plain(static_cast<int64_t>(MARCH_4_2011));
    EXPECT_EQ(0, plain.localOffset(false));
    EXPECT_EQ(120, plain.localOffset(true));
    DateTime west(2011, 3, 4, 5, 6, 7, -90);
    EXPECT_EQ("2011-03-04T06:36:07Z", west.toText(true));
    EXPECT_EQ(-90, plain.localOffset(true));
    EXPECT_EQ("2011-03-04T05:06:07-01:30", west.toText(false, false, true));
    DateTime copy(east);
    EXPECT_EQ(120, copy.offset());
    EXPECT_EQ(120, plain.localOffset(true));

    // An offset pushing the components below the epoch or past the maximum clamps.
    EXPECT_EQ(0, DateTime(1970, 1, 1, 0, 0, 0, 60).seconds());
    EXPECT_EQ(DateTime::MAX_SECONDS, DateTime(2038, 1, 19, 3, 14, 7, -60).seconds());
}

TEST(DateTimeConstruct, SecondsAreClampedAndNowRereadsTheMaximumOnce)
{
    EXPECT_EQ(0, DateTime(static_cast<int64_t>(-5)).seconds());
    EXPECT_EQ(DateTime::MAX_SECONDS, DateTime(static_cast<int64_t>(1) << 40).seconds());
    DateTime d(static_cast<int64_t>(100));
    d.setSeconds(-1);
    EXPECT_EQ(0, d.seconds());

    std::vector<int64_t> reads = {DateTime::MAX_SECONDS, 1000, 2000};
    size_t next = 0;
    {
        Telvar::Testing::ManualClock clock;
        clock.readWith([&] { return reads[next++]; });
        EXPECT_EQ(1000, DateTime().seconds());
        EXPECT_EQ(2000, DateTime().seconds());
    }
    EXPECT_EQ(DateTime::MAX_SECONDS, DateTime::maximum().seconds());
}

TEST(DateTimeArithmetic, SpansDifferencesAndTheEpoch)
{
    DateTime d(static_cast<int64_t>(100));
    d += TimeSpan(50);
    EXPECT_EQ(150, d.seconds());
    d -= TimeSpan(150);
    EXPECT_EQ(0, d.seconds());
    try {
        d -= TimeSpan(1);
        FAIL() << "no exception";
    } catch (const TimeException& e) {
        EXPECT_EQ(TimeException::TM_ANCIENT, e.code());
    }
    EXPECT_EQ(0, d.seconds());

    const DateTime a(static_cast<int64_t>(1000));
    EXPECT_EQ(1060, (a + TimeSpan(60)).seconds());
    EXPECT_EQ(940, (a - TimeSpan(60)).seconds());
    EXPECT_EQ(0, (a - TimeSpan(5000)).seconds());
    EXPECT_EQ(DateTime::MAX_SECONDS, (DateTime::maximum() + TimeSpan(1)).seconds());
    EXPECT_EQ(1000, a.seconds());
    EXPECT_EQ(TimeSpan(-600), DateTime(static_cast<int64_t>(400)) - a);
    EXPECT_TRUE(DateTime(static_cast<int64_t>(400)) < a);
    EXPECT_TRUE(a >= DateTime(static_cast<int64_t>(1000)));
}

TEST(DateTimeText, UtcLocalCompactAndOffsetForms)
{
    EXPECT_EQ("2038-01-19T03:14:07Z", DateTime::maximum().toText(true));
    EXPECT_EQ("20380119T031407Z", DateTime::maximum().toText(true, true));
    EXPECT_EQ("1970-01-01T00:00:00Z", DateTime(static_cast<int64_t>(0)).toText(true));
    const DateTime march(static_cast<int64_t>(MARCH_4_2011));
    {
        ZoneGuard zone("Europe/Berlin");
        EXPECT_EQ("2011-03-04T06:06:07", march.toText(false));
        EXPECT_EQ("2011-03-04T06:06:07+01:00", march.toText(false, false, true));
        EXPECT_EQ("20110304T060607+01:00", march.toText(false, true, true));
        EXPECT_EQ("2011-07-01T12:00:00+02:00",
                  DateTime(2011, 7, 1, 10, 0, 0).toText(false, false, true));
    }
    {
        ZoneGuard zone("Asia/Kolkata");
        EXPECT_EQ("2011-03-04T10:36:07+05:30", march.toText(false, false, true));
        EXPECT_EQ(330, march.localOffset());
    }
    {
        ZoneGuard zone("America/New_York");
        EXPECT_EQ("2011-03-04T00:06:07-05:00", march.toText(false, false, true));
        EXPECT_EQ("1969-12-31T19:00:00-05:00", DateTime(static_cast<int64_t>(0)).toText(false, false, true));
        EXPECT_EQ(parts(1969, 12, 31, 2, 19, 0, 0, true), DateTime(static_cast<int64_t>(0)).localParts());
    }
}

TEST(DateTimeParts, UtcDateAndTimeViews)
{
    const DateTime march(static_cast<int64_t>(MARCH_4_2011));
    EXPECT_EQ(parts(2011, 3, 4, 4, 5, 6, 7, false), march.utcParts());
    EXPECT_EQ(parts(2011, 3, 4, 4, 0, 0, 0, false), march.dateParts());
    EXPECT_EQ(parts(1970, 1, 1, 3, 5, 6, 7, false), march.timeParts());
    // 2012-03-04 was a Sunday.
    EXPECT_EQ(6, DateTime(2012, 3, 4, 0, 0, 0).utcParts().weekday);
}

TEST(DateTimeLocal, LocalComponentsFollowTheZoneAndItsDaylightSaving)
{
    {
        ZoneGuard zone("Europe/Berlin");
        DateTimeParts winter = parts(2011, 3, 4, 0, 5, 6, 7, true);
        EXPECT_EQ("2011-03-04T04:06:07Z", DateTime(winter).toText(true));
        DateTimeParts summer = parts(2011, 7, 4, 0, 5, 6, 7, true);
        EXPECT_EQ("2011-07-04T03:06:07Z", DateTime(summer).toText(true));
        // 02:30 on 2011-03-27 does not exist: read with the winter offset.
        EXPECT_EQ("2011-03-27T01:30:00Z", DateTime(parts(2011, 3, 27, 0, 2, 30, 0, true)).toText(true));
        // 02:30 on 2011-10-30 exists twice: the first one.
        EXPECT_EQ("2011-10-30T00:30:00Z", DateTime(parts(2011, 10, 30, 0, 2, 30, 0, true)).toText(true));
        EXPECT_EQ("2011-10-30T02:30:00Z", DateTime(parts(2011, 10, 30, 0, 3, 30, 0, true)).toText(true));
        // Before the epoch in UTC: the epoch.
        EXPECT_EQ(0, DateTime(parts(1970, 1, 1, 0, 0, 30, 0, true)).seconds());
    }
    {
        ZoneGuard zone("America/New_York");
        // Daylight saving started in March 2007 on the 11th, in 2006 on April 2nd.
        EXPECT_EQ("2007-03-20T16:00:00Z", DateTime(parts(2007, 3, 20, 0, 12, 0, 0, true)).toText(true));
        EXPECT_EQ("2006-03-20T17:00:00Z", DateTime(parts(2006, 3, 20, 0, 12, 0, 0, true)).toText(true));
        DateTime latest(parts(2038, 1, 18, 0, 22, 14, 7, true));
        EXPECT_EQ(DateTime::MAX_SECONDS, latest.seconds());
    }
    {
        ZoneGuard zone("Asia/Kolkata");
        DateTime latest(parts(2038, 1, 19, 0, 3, 14, 7, true));
        EXPECT_EQ("2038-01-18T21:44:07Z", latest.toText(true));
    }
}

TEST(DateTimeAlign, BoundariesInLocalTime)
{
    {
        ZoneGuard zone("Europe/Berlin");
        DateTime d(parts(2011, 3, 4, 0, 10, 17, 45, true));
        d.alignTo(TimeSpan(3600));
        EXPECT_EQ("2011-03-04T10:00:00", d.toText(false));
        DateTime day(parts(2011, 3, 4, 0, 0, 30, 0, true));
        day.alignTo(TimeSpan(86400));
        EXPECT_EQ("2011-03-04T00:00:00+01:00", day.toText(false, false, true));
        DateTime half(parts(2011, 7, 4, 0, 17, 59, 59, true));
        half.alignTo(TimeSpan(43200));
        EXPECT_EQ("2011-07-04T12:00:00+02:00", half.toText(false, false, true));
        // A day boundary on the other side of the autumn change.
        DateTime autumn(parts(2011, 10, 30, 0, 15, 0, 0, true));
        autumn.alignTo(TimeSpan(86400));
        EXPECT_EQ("2011-10-30T00:00:00+02:00", autumn.toText(false, false, true));
    }
    {
        ZoneGuard zone("Asia/Kolkata");
        DateTime d(parts(2011, 3, 4, 0, 10, 17, 45, true));
        d.alignTo(TimeSpan(3600));
        EXPECT_EQ("2011-03-04T10:00:00", d.toText(false));
        EXPECT_EQ("2011-03-04T04:30:00Z", d.toText(true));
        DateTime day(parts(2011, 3, 4, 0, 0, 10, 0, true));
        day.alignTo(TimeSpan(86400));
        EXPECT_EQ("2011-03-04T00:00:00", day.toText(false));
    }
    {
        ZoneGuard zone("America/New_York");
        // Negative offset near the epoch: floor, not truncation.
        DateTime early(static_cast<int64_t>(7200)); // 1969-12-31 21:00 local
        early.alignTo(TimeSpan(3600));
        EXPECT_EQ(7200, early.seconds());
        DateTime d(static_cast<int64_t>(MARCH_4_2011));
        d.alignTo(TimeSpan(1));
        EXPECT_EQ(MARCH_4_2011, d.seconds());
        d.alignTo(TimeSpan(-3600));
        EXPECT_EQ(MARCH_4_2011, d.seconds());
        d.alignTo(TimeSpan(86400));
        EXPECT_EQ("2011-03-04T00:00:00-05:00", d.toText(false, false, true));
    }
    // An own offset wins over the host's, the recent offset does not count.
    ZoneGuard zone("UTC");
    DateTime own(2011, 3, 4, 10, 17, 45, 330);
    own.alignTo(TimeSpan(3600));
    EXPECT_EQ("2011-03-04T10:00:00+05:30", own.toText(false, false, true));
    DateTime host(static_cast<int64_t>(MARCH_4_2011));
    host.alignTo(TimeSpan(3600));
    EXPECT_EQ("2011-03-04T05:00:00Z", host.toText(true));
}

TEST(DateTimeWait, ReturnsOnceTheClockHasAdvanced)
{
    Telvar::Testing::ManualClock clock(5000);
    int sleeps = 0;
    clock.sleepWith([&](int) {
        ++sleeps;
        clock.advance(1);
    });
    DateTime::waitSeconds(3);
    EXPECT_EQ(5003, clock.seconds());
    EXPECT_EQ(3, sleeps);
    DateTime::waitSeconds(0);
    EXPECT_EQ(3, sleeps);
}

TEST(TimeBase, NegativeSecondsAreRejected)
{
    TimeBase base(5);
    EXPECT_EQ(5, base.seconds());
    try {
        base.setSeconds(-1);
        FAIL() << "no exception";
    } catch (const TimeException& e) {
        EXPECT_EQ(TimeException::TM_DATETIME, e.code());
    }
    EXPECT_EQ(5, base.seconds());
    EXPECT_THROW(TimeBase(-3), TimeException);
}
