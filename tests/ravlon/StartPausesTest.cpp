#include "ravlon/StartPauses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/DateTime.h"
#include "support/ManualClock.h"
#include "platform/Process.h"

using namespace Telvar;

namespace {

class StartPausesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Platform::unsetEnvironmentVariable(StartPauses::START_VARIABLE);
        Platform::unsetEnvironmentVariable(StartPauses::SETTLE_VARIABLE);
        time_.readWith([] { return Clock::system().nowSeconds(); });
        time_.sleepWith([this](int ms) { slept_.push_back(ms); });
    }
    void TearDown() override
    {
        Platform::unsetEnvironmentVariable(StartPauses::START_VARIABLE);
        Platform::unsetEnvironmentVariable(StartPauses::SETTLE_VARIABLE);
        std::string error;
        ASSERT_TRUE(StartPauses::load(error));
    }

    int sleptTotal() const
    {
        int total = 0;
        for (int ms : slept_)
            total += ms;
        return total;
    }

    std::vector<int> slept_;
    Testing::ManualClock time_;
};

TEST_F(StartPausesTest, VariablesReplaceTheDefaultsAndZeroIsAllowed)
{
    std::string error;
    ASSERT_TRUE(StartPauses::load(error));
    EXPECT_EQ(20u, StartPauses::startSeconds());
    EXPECT_EQ(10u, StartPauses::settleSeconds());
    Platform::setEnvironmentVariable(StartPauses::START_VARIABLE, "0");
    Platform::setEnvironmentVariable(StartPauses::SETTLE_VARIABLE, "3");
    ASSERT_TRUE(StartPauses::load(error)) << error;
    EXPECT_EQ(0u, StartPauses::startSeconds());
    EXPECT_EQ(3u, StartPauses::settleSeconds());
}

// A typo must not become a pause of 0 s (or of days) without a word.
TEST_F(StartPausesTest, AnythingButWholeSecondsIsRefusedWithTheVariableNamed)
{
    for (const char* bad : {"", "-1", "1.5", " 5", "5s", "+5", "86401", "99999999999", "0x10"}) {
        SCOPED_TRACE(bad);
        Platform::setEnvironmentVariable(StartPauses::SETTLE_VARIABLE, bad);
        std::string error;
        EXPECT_FALSE(StartPauses::load(error));
        EXPECT_EQ("RAVLON_SETTLE_DELAY=\"" + std::string(bad) + "\" is not a number of whole seconds from 0 to 86400.", error);
        EXPECT_EQ(10u, StartPauses::settleSeconds());
    }
    uint32_t seconds = 0;
    EXPECT_TRUE(StartPauses::parseSeconds("86400", seconds));
    EXPECT_EQ(86400u, seconds);
    EXPECT_TRUE(StartPauses::parseSeconds("007", seconds));
    EXPECT_EQ(7u, seconds);
}

TEST_F(StartPausesTest, PauseSleepsThroughTheHookAndEndsEarlyOnStop)
{
    EXPECT_TRUE(StartPauses::pause(2, nullptr));
    EXPECT_EQ(2000, sleptTotal());
    slept_.clear();
    EXPECT_TRUE(StartPauses::pause(0, [] { return false; }));
    EXPECT_TRUE(slept_.empty());
    int looks = 0;
    EXPECT_FALSE(StartPauses::pause(20, [&] { return ++looks > 3; }));
    EXPECT_EQ(3 * StartPauses::STEP_MS, sleptTotal());
}

} // namespace
