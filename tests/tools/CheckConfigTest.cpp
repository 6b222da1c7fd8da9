#include "ConfCtlRun.h"

#include <gtest/gtest.h>
#include <zlib.h>

using ConfCtl::data;
using ConfCtl::shellQuoted;
using ConfCtl::ravlonctl;

TEST(CheckConfigTest, ListsEveryTypedEntryInFileOrder)
{
    const char* expected = "Telvar.directories.temp (DirName) = /var/tmp/telvar/\n"
                           "ravlon.interval (TimeSpan) = P1H\n"
                           "ravlon.data-collection (TimeSpan) = P5M\n"
                           "ravlon.working-dir (DirName) = /var/tmp/telvar/work/\n"
                           "ravlon.label (String) =   two words \n"
                           "ravlon.retries (Integer) = 3\n"
                           "ravlon.log (FileName) = /var/tmp/telvar/ravlon.log\n"
                           "ravlon.collect.base.active (Bool) = true\n";
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(data("sample.conf")));
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(expected, r.out);
    EXPECT_EQ("", r.err);

    // The collector also reads gzip-compressed files.
    std::string gz = std::string(TEST_BINARY_DIR) + "/check-config-sample.conf.gz";
    std::string text = ConfCtl::slurp(data("sample.conf"));
    gzFile f = gzopen(gz.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
    gzclose(f);
    r = ravlonctl("check-config " + shellQuoted(gz));
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(expected, r.out);
    std::remove(gz.c_str());
}

TEST(CheckConfigTest, SyntaxErrorNamesFileAndLine)
{
    std::string file = data("syntax-error.conf");
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(file));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(file + ":4: ConfReader: Missing '='.\n", r.err);
}

TEST(CheckConfigTest, UnusableValuesFail)
{
    std::string file = data("unusable.conf");
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(file));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("c (String) = fine\n", r.out);
    EXPECT_EQ(file + ": a (Bool): not a Bool value (result 4)\n" +
              file + ": b (String): entry not found (result 2)\n" +
              file + ": d (String): reference cannot be resolved (result 6)\n",
              r.err);
}

TEST(CheckConfigTest, UnreadableFile)
{
    std::string file = std::string(TEST_BINARY_DIR) + "/no-such-dir/none.conf";
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(file));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    std::string head = "ravlonctl check-config: cannot read " + file + ": File: ";
    EXPECT_EQ(head, r.err.substr(0, head.size()));
    EXPECT_EQ('\n', r.err.back());
    EXPECT_EQ(std::string::npos, r.err.find('\r'));
}

TEST(CheckConfigTest, UsageAndHelp)
{
    for (const char* args : {"check-config", "check-config a b", "check-config --bogus x"}) {
        SCOPED_TRACE(args);
        ConfCtl::Run r = ravlonctl(args);
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find("usage: ravlonctl check-config FILE\n"));
    }
    ConfCtl::Run help = ravlonctl("check-config --help");
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.rfind("usage: ravlonctl check-config FILE\n\n", 0));
}
