#include "support/ConfCtlRun.h"

#include <gtest/gtest.h>

#include <algorithm>

using ConfCtl::data;
using ConfCtl::shellQuoted;
using ConfCtl::ravlonctl;

TEST(PrimeTimeCmdTest, ClassifiesEachMomentInLocalTime)
{
    ConfCtl::Run r = ravlonctl("primetime " + shellQuoted(data("primetime")) +
                                   " 2026-12-07T08:00:00 2026-12-07T16:59:59 2026-12-07T16:00:00Z"
                                   " 2026-12-24T10:00:00+01:00 2026-12-06T10:00:00",
                               "TZ=Europe/Berlin");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("2026-12-07T08:00:00+01:00 prime\n"
              "2026-12-07T16:59:59+01:00 prime\n"
              "2026-12-07T17:00:00+01:00 undef\n"
              "2026-12-24T10:00:00+01:00 non-prime\n"
              "2026-12-06T10:00:00+01:00 undef\n",
              r.out);
    EXPECT_EQ("", r.err);
}

TEST(PrimeTimeCmdTest, DefaultsToNow)
{
    ConfCtl::Run r = ravlonctl("primetime " + shellQuoted(data("primetime")));
    EXPECT_EQ(0, r.exitCode);
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n'));
    std::string label = r.out.substr(r.out.find(' ') + 1);
    EXPECT_TRUE(label == "prime\n" || label == "non-prime\n" || label == "undef\n") << r.out;
}

TEST(PrimeTimeCmdTest, BadArgumentsAndMissingFile)
{
    ConfCtl::Run bad = ravlonctl("primetime " + shellQuoted(data("primetime")) + " 2026-12-07T08:00:00 tomorrow");
    EXPECT_EQ(2, bad.exitCode);
    EXPECT_EQ("", bad.out);
    EXPECT_EQ("ravlonctl primetime: 'tomorrow' is not a moment\nusage: ravlonctl primetime FILE [MOMENT...]\n",
              bad.err);

    ConfCtl::Run none = ravlonctl("primetime");
    EXPECT_EQ(2, none.exitCode);

    std::string missing = data("no-such-primetime");
    ConfCtl::Run gone = ravlonctl("primetime " + shellQuoted(missing));
    EXPECT_EQ(1, gone.exitCode);
    EXPECT_EQ("ravlonctl primetime: cannot read " + missing + "\n", gone.err);

    ConfCtl::Run help = ravlonctl("primetime --help");
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.rfind("usage: ravlonctl primetime FILE [MOMENT...]\n\n", 0));
}
