// ravlonctl follows the conventions its users know from other tools.
#include "support/ConfCtlRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CtlConventionsTest, VersionHelpAndOptionForms)
{
    ConfCtl::Run r = ravlonctl("--version");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(0u, r.out.rfind("ravlonctl ", 0)) << r.out;

    for (const char* command : {"chart", "check-config", "counters", "listen", "primetime", "records", "resource",
                                "sample", "send", "setup", "status"}) {
        r = ravlonctl(std::string("help ") + command);
        EXPECT_EQ(0, r.exitCode) << command;
        EXPECT_EQ(0u, r.out.rfind(std::string("usage: ravlonctl ") + command, 0)) << command;
        EXPECT_TRUE(has(r.out, "Exit status") || has(r.out, "Exit codes")) << command;
    }
    EXPECT_EQ(2, ravlonctl("help no-such-command").exitCode);

    // -n1 and --name=value as "-n 1" and "--name value".
    r = ravlonctl("sample -n1 -i0.1 " + shellQuoted("\\Memory\\Available Bytes"));
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(2u, static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'))) << r.out;
}

TEST(CtlConventionsTest, SampleNamesWhatItCannotAddAndFails)
{
    // Names match without regard to case, as the system's look-up does.
    ConfCtl::Run r = ravlonctl("sample -n 1 -i 0.1 " + shellQuoted("\\memory\\AVAILABLE bytes"));
    EXPECT_EQ(0, r.exitCode) << r.err;
    r = ravlonctl("sample -n 1 " + shellQuoted("\\Memory\\Available Bytes") + " " +
                  shellQuoted("\\Memory\\No Such Counter"));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(has(r.err, "cannot add '\\Memory\\No Such Counter': No counter")) << r.err;
}

TEST(CtlConventionsTest, PrimeTimeRefusesAMalformedFile)
{
    const std::string file = std::string(PROJECT_ROOT_DIR) + "/tests/data/conf/judge/files/primetime-hour-25";
    ConfCtl::Run r = ravlonctl("primetime " + shellQuoted(file) + " 2026-12-07T09:30:00");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(has(r.err, file + ":2: the hour 25 is outside 0 to 23")) << r.err;
}

} // namespace
