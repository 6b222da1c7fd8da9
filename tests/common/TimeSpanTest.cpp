#include "common/Exception.h"
#include "common/TimeSpan.h"
#include "common/Timer.h"
#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <limits>

using namespace Telvar;

namespace {

TimeSpanParts spanParts(int32_t d, int32_t h, int32_t m, int32_t s, bool negative = false)
{
    TimeSpanParts p;
    p.days = d;
    p.hours = h;
    p.minutes = m;
    p.seconds = s;
    p.negative = negative;
    return p;
}

int32_t setPartsCode(int32_t d, int32_t h, int32_t m, int32_t s)
{
    TimeSpan span(7);
    try {
        span.setParts(d, h, m, s);
    } catch (const TimeException& e) {
        EXPECT_EQ("", e.message());
        EXPECT_EQ(7, span.seconds());
        return e.code();
    }
    return -1;
}

} // namespace

TEST(TimeSpanParse, UnitLettersAnywhere)
{
    EXPECT_EQ(spanParts(1, 2, 3, 4), TimeSpan::parseTimeSpan("P1D2H3M4S"));
    EXPECT_EQ(93784, TimeSpan(TimeSpan::parseTimeSpan("P1D2H3M4S")).seconds());
    EXPECT_EQ(spanParts(0, 0, 5, 0), TimeSpan::parseTimeSpan("PT5M"));
    EXPECT_EQ(spanParts(0, 0, 5, 0), TimeSpan::parseTimeSpan("P5M"));
    EXPECT_EQ(spanParts(0, 0, 0, 30, true), TimeSpan::parseTimeSpan("P-30S"));
    EXPECT_EQ(spanParts(0, 0, 90, 0), TimeSpan::parseTimeSpan("P90M"));
    EXPECT_EQ(spanParts(0, 0, 0, 0), TimeSpan::parseTimeSpan(""));
    EXPECT_EQ(spanParts(0, 0, 0, 0), TimeSpan::parseTimeSpan("P1W"));
    EXPECT_EQ(spanParts(0, 0, 0, 0), TimeSpan::parseTimeSpan("P"));
    EXPECT_EQ(spanParts(4, 3, 2, 1), TimeSpan::parseTimeSpan("P1S2M3H4D"));
    // No digits before the letter, and only the first occurrence counts.
    EXPECT_EQ(spanParts(0, 12, 0, 0), TimeSpan::parseTimeSpan("PDT12H5H"));
    // Huge numbers saturate instead of wrapping.
    EXPECT_EQ(spanParts(0, 0, 0, std::numeric_limits<int32_t>::max()),
              TimeSpan::parseTimeSpan("P99999999999999999999S"));
}

TEST(TimeSpanParse, TextMustStartWithP)
{
    for (const char* text : {"5M", "p5M", " P5M"}) {
        try {
            TimeSpan::parseTimeSpan(text);
            ADD_FAILURE() << text;
        } catch (const TimeException& e) {
            EXPECT_EQ(TimeException::TM_INPUT, e.code());
            EXPECT_EQ("Expected 'P' in beginning of time span.", e.message());
        }
    }
}

TEST(TimeSpanText, WrittenFromItsParts)
{
    EXPECT_EQ("P1D2H3M4S", TimeSpan(93784).toText());
    EXPECT_EQ("P-30S", TimeSpan(TimeSpan::parseTimeSpan("P-30S")).toText());
    EXPECT_EQ("P1H30M", TimeSpan(TimeSpan::parseTimeSpan("P90M")).toText());
    EXPECT_EQ("P0", TimeSpan().toText());
    EXPECT_EQ("P12H", TimeSpan(43200).toText());
    EXPECT_EQ("P1D1S", TimeSpan(86401).toText());
    EXPECT_EQ("P24855D3H14M7S", TimeSpan(std::numeric_limits<int32_t>::max()).toText());
    EXPECT_EQ("P-24855D3H14M8S", TimeSpan(std::numeric_limits<int32_t>::min()).toText());
}

TEST(TimeSpanParts, ToPartsUsesTheAbsoluteValue)
{
    EXPECT_EQ(spanParts(1, 2, 3, 4, true), TimeSpan(-93784).toParts());
    EXPECT_EQ(spanParts(0, 0, 0, 0), TimeSpan(0).toParts());
    EXPECT_EQ(-5400, TimeSpan(spanParts(0, 1, 30, 0, true)).seconds());
    EXPECT_EQ(std::numeric_limits<int32_t>::max(), TimeSpan(spanParts(30000, 0, 0, 0)).seconds());
    EXPECT_EQ(std::numeric_limits<int32_t>::min(), TimeSpan(spanParts(30000, 0, 0, 0, true)).seconds());
}

TEST(TimeSpanSetParts, RangeChecks)
{
    EXPECT_EQ(TimeException::TM_HOURS, setPartsCode(0, 24, 0, 0));
    EXPECT_EQ(TimeException::TM_HOURS, setPartsCode(0, -1, 0, 0));
    EXPECT_EQ(TimeException::TM_DAYS, setPartsCode(24856, 0, 0, 0));
    EXPECT_EQ(TimeException::TM_DAYS, setPartsCode(-24856, 0, 0, 0));
    EXPECT_EQ(TimeException::TM_MINUTES, setPartsCode(0, 0, 60, 0));
    EXPECT_EQ(TimeException::TM_SECONDS, setPartsCode(0, 0, 0, 60));
    EXPECT_EQ(TimeException::TM_SECONDS, setPartsCode(0, 0, 0, -1));
    // In range day by day, but past 32 bits in total.
    EXPECT_EQ(TimeException::TM_DAYS, setPartsCode(24855, 23, 59, 59));

    TimeSpan span;
    span.setParts(1, 2, 3, 4);
    EXPECT_EQ(93784, span.seconds());
    span.setParts(-1, 1, 0, 0);
    EXPECT_EQ(-82800, span.seconds());
    span.setParts(24855, 3, 14, 7);
    EXPECT_EQ(std::numeric_limits<int32_t>::max(), span.seconds());
}

TEST(TimeSpanArithmetic, NegativeValuesAndSaturation)
{
    TimeSpan span(10);
    span.setSeconds(-20);
    EXPECT_EQ(-20, span.seconds());
    EXPECT_EQ(TimeSpan(20), -span);
    EXPECT_EQ(TimeSpan(-5), TimeSpan(10) - TimeSpan(15));
    EXPECT_EQ(std::numeric_limits<int32_t>::max(),
              (TimeSpan(std::numeric_limits<int32_t>::max()) + TimeSpan(1)).seconds());
    EXPECT_EQ(std::numeric_limits<int32_t>::max(), (-TimeSpan(std::numeric_limits<int32_t>::min())).seconds());
    EXPECT_EQ(130, TimeSpan(DateTime(static_cast<int64_t>(100)), TimeSpan(30)).seconds());
    EXPECT_TRUE(TimeSpan(-1) < TimeSpan(0));
}

TEST(Timer, ExpiresOnlyAfterTheDeadlineSecond)
{
    Testing::ManualClock clock(1000);
    Timer timer;
    EXPECT_EQ(1000, timer.deadline().seconds());
    EXPECT_FALSE(timer.isExpired());
    clock.set(1001);
    EXPECT_TRUE(timer.isExpired());

    timer.setDeadline(DateTime(2011, 3, 4, 5, 6, 7, 60));
    EXPECT_EQ(60, timer.deadline().offset());
    clock.set(timer.deadline().seconds());
    EXPECT_FALSE(timer.isExpired());
    clock.advance(1);
    EXPECT_TRUE(timer.isExpired());
}
