#include "common/PrimeTime.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace Telvar;
namespace fs = std::filesystem;

namespace {

DateTime localMoment(int32_t year, int32_t month, int32_t day, int32_t hour)
{
    DateTime moment(int64_t(0));
    moment.setLocal(year, month, day, hour, 30, 0);
    return moment;
}

std::string ruleText(const PrimeTime::Rule& r)
{
    return r.year + "|" + r.month + "|" + r.day + "|" + r.weekday + "|" + r.hour + "|" +
           (r.prime ? "prime" : "exclude");
}

} // namespace

TEST(PrimeTimeTest, Patterns)
{
    EXPECT_TRUE(PrimeTime::matches("*", 0));
    EXPECT_TRUE(PrimeTime::matches("*", 2026));
    EXPECT_TRUE(PrimeTime::matches("8-16", 8));
    EXPECT_TRUE(PrimeTime::matches("8-16", 16));
    EXPECT_FALSE(PrimeTime::matches("8-16", 17));
    EXPECT_FALSE(PrimeTime::matches("8-16", 7));
    // A range cannot be combined with a list: the second piece reads as 16.
    EXPECT_TRUE(PrimeTime::matches("8-16,18", 16));
    EXPECT_FALSE(PrimeTime::matches("8-16,18", 18));
    EXPECT_FALSE(PrimeTime::matches("1-2-3", 2));
    EXPECT_TRUE(PrimeTime::matches("1,3,5", 3));
    EXPECT_FALSE(PrimeTime::matches("1,3,5", 4));
    EXPECT_TRUE(PrimeTime::matches("12x,7", 12));
    EXPECT_FALSE(PrimeTime::matches("", 0));
    // Items without digits match nothing, not 0.
    EXPECT_FALSE(PrimeTime::matches("x", 0));
    EXPECT_FALSE(PrimeTime::matches(",5", 0));
    EXPECT_FALSE(PrimeTime::matches(" ", 0));
    EXPECT_FALSE(PrimeTime::matches("99999999999999999999", -1));
}

TEST(PrimeTimeTest, LineParsing)
{
    PrimeTime::Rule r;
    EXPECT_FALSE(PrimeTime::parseLine("", r));
    EXPECT_FALSE(PrimeTime::parseLine("   \t", r));
    EXPECT_FALSE(PrimeTime::parseLine("  # *:*:*:*:*", r));
    ASSERT_TRUE(PrimeTime::parseLine("  *:*:*:1-5:8-16\r", r));
    EXPECT_EQ("*|*|*|1-5|8-16|prime", ruleText(r));
    ASSERT_TRUE(PrimeTime::parseLine("*:12:24-26:*:*   EXclude # holidays", r));
    EXPECT_EQ("*|12|24-26|*|*|exclude", ruleText(r));
    ASSERT_TRUE(PrimeTime::parseLine("2026:*:*:*:*\t0", r));
    EXPECT_EQ("2026|*|*|*|*|exclude", ruleText(r));
    ASSERT_TRUE(PrimeTime::parseLine("*:*:*:*:* # comment", r));
    EXPECT_EQ("*|*|*|*|*|prime", ruleText(r));
    ASSERT_TRUE(PrimeTime::parseLine("*:*:*:*:* 00", r));
    EXPECT_EQ("*|*|*|*|*|prime", ruleText(r));
    // Too few fields: empty patterns that match nothing.
    ASSERT_TRUE(PrimeTime::parseLine("*:*", r));
    EXPECT_EQ("*|*||||prime", ruleText(r));
}

TEST(PrimeTimeTest, LastMatchingRuleDecides)
{
    PrimeTime none;
    EXPECT_EQ(PrimeTime::UNDEF, none.classifyParts(2026, 12, 7, 1, 10));

    PrimeTime all;
    all.loadText("*:*:*:*:*\n*:*:*:*:13 exclude\n");
    EXPECT_EQ(PrimeTime::PRIME, all.classifyParts(2026, 12, 7, 1, 12));
    EXPECT_EQ(PrimeTime::NON_PRIME, all.classifyParts(2026, 12, 7, 1, 13));

    PrimeTime before;
    before.loadText("*:*:*:*:13 exclude\n*:*:*:*:*\n");
    EXPECT_EQ(PrimeTime::PRIME, before.classifyParts(2026, 12, 7, 1, 13));

    PrimeTime office;
    office.loadText("# office hours\n\n*:*:*:1-5:8-16\n*:12:24-26:*:* exclude\n*:*:*:0,6:* 0\n");
    ASSERT_EQ(3u, office.rules().size());
    EXPECT_EQ(PrimeTime::PRIME, office.classifyParts(2026, 12, 7, 1, 8));
    EXPECT_EQ(PrimeTime::PRIME, office.classifyParts(2026, 12, 7, 1, 16));
    EXPECT_EQ(PrimeTime::UNDEF, office.classifyParts(2026, 12, 7, 1, 17));
    EXPECT_EQ(PrimeTime::NON_PRIME, office.classifyParts(2026, 12, 24, 4, 10));
    EXPECT_EQ(PrimeTime::NON_PRIME, office.classifyParts(2026, 12, 6, 0, 10));
    EXPECT_EQ(PrimeTime::NON_PRIME, office.classifyParts(2026, 12, 5, 6, 10));
}

TEST(PrimeTimeTest, ClassifyUsesLocalTimeWithSundayAsZero)
{
    PrimeTime pt;
    pt.loadText("*:*:*:0:*\n*:*:*:6:* exclude\n");
    EXPECT_EQ(PrimeTime::PRIME, pt.classify(localMoment(2026, 12, 6, 0)));      // Sunday
    EXPECT_EQ(PrimeTime::PRIME, pt.classify(localMoment(2026, 12, 6, 23)));
    EXPECT_EQ(PrimeTime::NON_PRIME, pt.classify(localMoment(2026, 12, 5, 12))); // Saturday
    EXPECT_EQ(PrimeTime::UNDEF, pt.classify(localMoment(2026, 12, 7, 12)));     // Monday

    PrimeTime hours;
    hours.loadText("2026:12:7:*:9\n");
    EXPECT_EQ(PrimeTime::PRIME, hours.classify(localMoment(2026, 12, 7, 9)));
    EXPECT_EQ(PrimeTime::UNDEF, hours.classify(localMoment(2026, 12, 7, 10)));
    EXPECT_EQ(PrimeTime::UNDEF, hours.classify(localMoment(2025, 12, 7, 9)));
}

TEST(PrimeTimeTest, LoadingMoreRulesIsNotHiddenByTheCache)
{
    PrimeTime pt;
    DateTime moment = localMoment(2026, 12, 7, 9);
    EXPECT_EQ(PrimeTime::UNDEF, pt.classify(moment));
    EXPECT_EQ(PrimeTime::UNDEF, pt.classify(moment));
    pt.loadText("*:*:*:*:*\n");
    EXPECT_EQ(PrimeTime::PRIME, pt.classify(moment));
    EXPECT_EQ(PrimeTime::PRIME, pt.classify(moment));

    // Moment 0 is classified, not taken from the initial cache.
    PrimeTime zero;
    zero.loadText("*:*:*:*:*\n");
    EXPECT_EQ(PrimeTime::PRIME, zero.classify(DateTime(int64_t(0))));
}

TEST(PrimeTimeTest, LoadFromFileAppends)
{
    fs::path dir = fs::temp_directory_path() / ("primetime-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    std::string first = (dir / "primetime").string();
    std::string second = (dir / "more").string();
    std::ofstream(first, std::ios::binary) << "# rules\r\n*:*:*:1-5:8-16\r\n\r\n*:12:24-26:*:* exclude\r\n";
    std::ofstream(second, std::ios::binary) << "*:*:*:*:12 Exclude";
    PrimeTime pt;
    EXPECT_FALSE(pt.load((dir / "missing").string()));
    EXPECT_TRUE(pt.rules().empty());
    EXPECT_TRUE(pt.load(first));
    EXPECT_TRUE(pt.load(second));
    ASSERT_EQ(3u, pt.rules().size());
    EXPECT_EQ("*|*|*|1-5|8-16|prime", ruleText(pt.rules()[0]));
    EXPECT_EQ("*|12|24-26|*|*|exclude", ruleText(pt.rules()[1]));
    EXPECT_EQ("*|*|*|*|12|exclude", ruleText(pt.rules()[2]));
    fs::remove_all(dir);
}
