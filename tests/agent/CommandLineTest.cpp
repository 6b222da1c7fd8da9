#include "agent/CommandLine.h"

#include <gtest/gtest.h>

#include <string>

#include "agent/Agent.h"

using namespace Telvar;

namespace {

using Options = CommandLine::Options;

Options parse(const std::string& text) { return CommandLine::parse(text); }

class ParsedAgent : public Agent {
public:
    explicit ParsedAgent(const std::string& line) : Agent(line) {}
    void run() override {}
    bool configureCollector() override { return true; }
};

} // namespace

TEST(CommandLineTest, SplitsProgramPathFromArguments)
{
    std::string path, args;
    CommandLine::split("\"C:\\Program Files\\ravlon.exe\"   -c x.conf", path, args);
    EXPECT_EQ("C:\\Program Files\\ravlon.exe", path);
    EXPECT_EQ("-c x.conf", args);

    CommandLine::split("ravlon.exe  -x 1", path, args);
    EXPECT_EQ("ravlon.exe", path);
    EXPECT_EQ("-x 1", args);

    // An unterminated quote takes the rest as the path.
    CommandLine::split("\"C:\\no end -c", path, args);
    EXPECT_EQ("C:\\no end -c", path);
    EXPECT_EQ("", args);

    CommandLine::split("ravlon.exe", path, args);
    EXPECT_EQ("ravlon.exe", path);
    EXPECT_EQ("", args);

    CommandLine::split("", path, args);
    EXPECT_EQ("", path);
    EXPECT_EQ("", args);
}

TEST(CommandLineTest, ShortOptionsTakeTheNextTokenOrWhatFollowsDirectly)
{
    EXPECT_EQ(Options({{"c", "file.conf"}}), parse("-cfile.conf"));
    EXPECT_EQ(Options({{"c", "file.conf"}}), parse("-c file.conf"));
    EXPECT_EQ(Options({{"x", "1"}, {"c", "other.conf"}}), parse("-x 1 -c other.conf"));
    EXPECT_EQ(Options({{"c", "a"}}), parse("\t-c\r\na\n"));
}

TEST(CommandLineTest, QuotedValuesKeepBlanksAndDashes)
{
    EXPECT_EQ(Options({{"c", "C:\\my conf\\ravlon-test.conf"}}), parse("-c \"C:\\my conf\\ravlon-test.conf\""));
    EXPECT_EQ(Options({{"c", "a -b 'c'"}}), parse("-c \"a -b 'c'\""));
    EXPECT_EQ(Options({{"c", "x \"y\" z"}}), parse("-c'x \"y\" z'"));
    EXPECT_EQ(Options({{"c", ""}}), parse("-c \"\""));
}

TEST(CommandLineTest, DashOrQuoteEndsAnUnquotedToken)
{
    // A value containing "-" must be quoted: the "-" starts an option.
    EXPECT_EQ(Options({{"c", "my"}, {"conf", ""}}), parse("-c my--conf"));
    EXPECT_EQ(Options({{"c", "a"}, {"b", "c"}}), parse("-c a-b c"));
    EXPECT_EQ(Options({{"c", "ab"}, {"", "cd"}}), parse("-c ab'cd'"));
    // The collector's stand-in program name runs straight into the options.
    EXPECT_EQ(Options({{"", "dummy"}, {"c", "x"}}), parse("dummy-c x"));
}

TEST(CommandLineTest, OptionsWithoutValueAndValuesWithoutOption)
{
    EXPECT_EQ(Options({{"a", ""}, {"b", "v"}}), parse("-a -b v"));
    EXPECT_EQ(Options({{"a", ""}}), parse("-a"));
    EXPECT_EQ(Options({{"", "one"}, {"", "two"}}), parse("one two"));
    EXPECT_EQ(Options({{"verbose", "yes"}, {"q", ""}}), parse("--verbose yes -q"));
    EXPECT_EQ(Options({{"c", ""}, {"x", ""}}), parse("-c-x"));
    EXPECT_EQ(Options(), parse(""));
    EXPECT_EQ(Options(), parse(" \t\r\n"));
}

TEST(CommandLineTest, OpenCasesEndWithoutReadingPastTheText)
{
    // Unterminated quotes take the rest of the text.
    EXPECT_EQ(Options({{"c", "rest of -it"}}), parse("-c \"rest of -it"));
    EXPECT_EQ(Options({{"c", ""}}), parse("-c '"));
    // A lone "-" is a value; "--" alone a long option without name.
    EXPECT_EQ(Options({{"c", "-"}}), parse("-c -"));
    EXPECT_EQ(Options({{"", "-"}}), parse("-"));
    EXPECT_EQ(Options({{"", "v"}}), parse("-- v"));
    // Quotes and dashes belong to a long option's name up to the blank.
    EXPECT_EQ(Options({{"a\"b-c", "v"}}), parse("--a\"b-c v"));
    // Bytes of any value are data.
    EXPECT_EQ(Options({{"c", std::string("\x01\xff", 2)}}), parse(std::string("-c \x01\xff", 5)));
}

TEST(CommandLineTest, TheAgentDropsTheFirstPair)
{
    ParsedAgent agent("dummy-c \"C:\\a b\\x-y.conf\" -d 3");
    EXPECT_EQ("dummy-c", agent.programPath());
    EXPECT_EQ(Options({{"c", "C:\\a b\\x-y.conf"}, {"d", "3"}}), agent.options());

    ParsedAgent bare("dummy");
    EXPECT_TRUE(bare.options().empty());
    EXPECT_EQ("", bare.argumentText());
}
