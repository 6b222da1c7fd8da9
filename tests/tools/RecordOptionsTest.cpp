#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordOptions.h"

using Telvar::Ctl::Args;
using Telvar::Ctl::Command;
using Telvar::Ctl::RecordOptions;

// ravlonctl's own, in its main.cpp, prints the usage; here the code is enough.
int Telvar::Ctl::usageError(const Command&, const std::string&)
{
    return EXIT_USAGE;
}

namespace {

const Command TEST_COMMAND = {"test", "ravlonctl test [options] FILE...", "", "", nullptr};

// The argument loop 'records' and 'chart' share.
TEST(RecordOptionsParse, SharedOwnAndFileArgumentsAndWhatStopsThem)
{
    RecordOptions shared;
    std::string format;
    std::vector<std::string> files;
    const std::vector<RecordOptions::OwnOption> own = {
        {"--format", [&](const std::string& v) { format = v; return v == "bad" ? "no good" : std::string(); }},
    };
    ASSERT_EQ(0, shared.parse(TEST_COMMAND, Args{"a.data", "--format", "csv", "--", "-b.data"}, own, files));
    EXPECT_EQ("csv", format);
    EXPECT_EQ((std::vector<std::string>{"a.data", "-b.data"}), files);

    const int usage = Telvar::Ctl::EXIT_USAGE;
    files.clear();
    EXPECT_EQ(usage, shared.parse(TEST_COMMAND, Args{"a.data", "--format"}, own, files));
    EXPECT_EQ(usage, shared.parse(TEST_COMMAND, Args{"--format", "bad", "a.data"}, own, files));
    EXPECT_EQ(usage, shared.parse(TEST_COMMAND, Args{"--columns", "x", "a.data"}, own, files));
    files.clear();
    EXPECT_EQ(usage, shared.parse(TEST_COMMAND, Args{"--format", "csv"}, own, files));  // no FILE
}

} // namespace
