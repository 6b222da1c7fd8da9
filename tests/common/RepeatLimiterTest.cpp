#include "common/RepeatLimiter.h"

#include <gtest/gtest.h>

#include "common/Clock.h"
#include "support/VirtualTime.h"

using namespace Telvar;

namespace {

// The first occurrence is written, the rest of its minute only counted and
// handed out once when the minute is over; then the next one is written.
TEST(RepeatLimiterTest, OnceThenCountedPerMinute)
{
    Telvar::Test::VirtualTime time(0);  // each sleep returns at once, the clock moved on
    RepeatLimiter limiter;
    EXPECT_TRUE(limiter.occurred());
    for (int i = 0; i < 9999; ++i)
        EXPECT_FALSE(limiter.occurred());
    EXPECT_EQ(0u, limiter.takeHeldBack());
    Clock::current().sleepMilliseconds(static_cast<int>(RepeatLimiter::MINUTE_MS));
    EXPECT_EQ(9999u, limiter.takeHeldBack());
    EXPECT_EQ(0u, limiter.takeHeldBack());
    EXPECT_TRUE(limiter.occurred(3));
    EXPECT_FALSE(limiter.occurred());
    Clock::current().sleepMilliseconds(static_cast<int>(RepeatLimiter::MINUTE_MS));
    EXPECT_EQ(3u, limiter.takeHeldBack());
    EXPECT_EQ("x (1,234,567 more in the last minute)", RepeatLimiter::summary("x", 1234567));
}

} // namespace
