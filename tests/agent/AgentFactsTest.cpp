#include "agent/AgentFacts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/SystemInfo.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

DateTime localMoment(int32_t year, int32_t month, int32_t day, int32_t hour)
{
    DateTime moment(int64_t(0));
    moment.setLocal(year, month, day, hour, 30, 0);
    return moment;
}

std::string facts(const AgentFacts& f)
{
    return f.domain() + "|" + f.computerName() + "|" + f.architecture() + "|" + f.osName();
}

// 2026-12-07 is a Monday, 2026-12-05 a Saturday, 2026-12-25 a Friday.
std::vector<std::string> labels(AgentFacts& f)
{
    return {f.primeTimeClass(localMoment(2026, 12, 7, 10)), f.primeTimeClass(localMoment(2026, 12, 7, 20)),
            f.primeTimeClass(localMoment(2026, 12, 5, 10)), f.primeTimeClass(localMoment(2026, 12, 25, 10))};
}

} // namespace

TEST(AgentFactsTest, EveryMomentIsUndefinedWithoutAPrimeTimeFile)
{
    Testing::TempDir dir("agent-facts");
    AgentFacts f;
    const std::vector<std::string> undef(4, "undef");
    EXPECT_EQ(undef, labels(f));
    EXPECT_FALSE(f.loadPrimeTime(dir.file("primetime")));
    EXPECT_EQ(undef, labels(f));
}

TEST(AgentFactsTest, ReloadingReplacesTheRules)
{
    Testing::TempDir dir("agent-facts");
    AgentFacts f;
    ASSERT_TRUE(dir.write("primetime", "# office hours\n*:*:*:1-5:8-17\n*:12:24-26:*:* exclude\n"));
    ASSERT_TRUE(f.loadPrimeTime(dir.file("primetime")));
    EXPECT_EQ((std::vector<std::string>{"prime", "undef", "undef", "non-prime"}), labels(f));

    // The file changed before a reconfiguration: the old rules must not linger.
    ASSERT_TRUE(dir.write("primetime", "*:*:*:6:*\n"));
    ASSERT_TRUE(f.loadPrimeTime(dir.file("primetime")));
    EXPECT_EQ((std::vector<std::string>{"undef", "undef", "prime", "undef"}), labels(f));

    // A file that cannot be read leaves the definition as it was.
    EXPECT_FALSE(f.loadPrimeTime(dir.file("gone")));
    EXPECT_EQ((std::vector<std::string>{"undef", "undef", "prime", "undef"}), labels(f));

    f.clearPrimeTime();
    EXPECT_EQ(std::vector<std::string>(4, "undef"), labels(f));
}

TEST(AgentFactsTest, AFactThatCannotBeReadKeepsItsValue)
{
    int run = 0;
    AgentFacts f([&run](std::string& domain, std::string& computer, std::string& arch, std::string& os) {
        ++run;
        domain = run == 1 ? "WORKGROUP" : "corp.example";
        if (run == 1) {
            computer = "box1";
            arch = "amd64";
            os = "Windows 7 x64";
        }
    });
    EXPECT_EQ("|||", facts(f));
    f.gatherHostFacts();
    EXPECT_EQ("WORKGROUP|box1|amd64|Windows 7 x64", facts(f));
    f.gatherHostFacts();
    EXPECT_EQ("corp.example|box1|amd64|Windows 7 x64", facts(f));
}

TEST(AgentFactsTest, GathersTheHostsOwnFacts)
{
    std::string domain, computer, arch, os;
    SystemInfo::getStaticInfo(domain, computer, arch, os);
    AgentFacts f;
    f.gatherHostFacts();
    EXPECT_EQ(domain + "|" + computer + "|" + arch + "|" + os, facts(f));
    EXPECT_FALSE(f.computerName().empty());
    EXPECT_FALSE(f.architecture().empty());
}
