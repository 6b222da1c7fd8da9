#include "ravlon/ProgramEntry.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "agent/CommandLine.h"

using namespace Telvar;

namespace {

// What the agent makes of the text: the options after the program's stand-in.
CommandLine::Options parsed(const std::vector<std::string>& arguments)
{
    CommandLine::Options options = CommandLine::parse(ProgramEntry::commandLineText(arguments));
    EXPECT_FALSE(options.empty());
    if (!options.empty()) {
        EXPECT_EQ(CommandLine::Option("", "dummy"), options.front());
        options.erase(options.begin());
    }
    return options;
}

TEST(ProgramEntryTest, NoArgumentsGiveExactlyTheStandIn)
{
    EXPECT_EQ("dummy", ProgramEntry::commandLineText({}));
}

// Paths with blanks, "-" and quotes must reach the agent as one value each:
// an unquoted "-" would start a new option there.
TEST(ProgramEntryTest, ArgumentsReachTheAgentUnchanged)
{
    const CommandLine::Options expected = {
        {"c", "/srv/my-conf/ravlon test.conf"},
        {"x", "1"},
        {"", "it's"},
        {"q", "say \"hi\""},
    };
    EXPECT_EQ(expected, parsed({"-c", "/srv/my-conf/ravlon test.conf", "-x", "1", "it's", "-q", "say \"hi\""}));
    EXPECT_EQ((CommandLine::Options{{"c", "ravlon.conf"}}), parsed({"-c", "ravlon.conf"}));
}

TEST(ProgramEntryTest, HelpAndVersionAnswerAndNothingElseDoes)
{
    std::ostringstream out;
    int code = -1;
    EXPECT_TRUE(ProgramEntry::answerInformational({"-c", "x", "--help"}, out, code));
    EXPECT_EQ(0, code);
    EXPECT_NE(std::string::npos, out.str().find("RAVLON_START_DELAY"));
    EXPECT_NE(std::string::npos, out.str().find("RAVLON_SETTLE_DELAY"));
    out.str("");
    EXPECT_TRUE(ProgramEntry::answerInformational({"--version"}, out, code));
    EXPECT_EQ(0u, out.str().rfind("ravlon ", 0));
    out.str("");
    EXPECT_FALSE(ProgramEntry::answerInformational({"-c", "--helpful"}, out, code));
    EXPECT_EQ("", out.str());
}

} // namespace
