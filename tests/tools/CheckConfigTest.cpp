#include "support/ConfCtlRun.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

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
    // Its one scheme has no kind: the collector would not start.
    const std::string problem = ": ravlon.collect.base.scheme: entry not found (result 2)\n";
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(data("sample.conf")));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(expected, r.out);
    EXPECT_EQ(data("sample.conf") + problem, r.err);

    // The collector also reads gzip-compressed files.
    std::string gz = std::string(TEST_BINARY_DIR) + "/check-config-sample.conf.gz";
    std::string text = ConfCtl::slurp(data("sample.conf"));
    gzFile f = gzopen(gz.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
    gzclose(f);
    r = ravlonctl("check-config " + shellQuoted(gz));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(expected, r.out);
    EXPECT_EQ(gz + problem, r.err);
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

namespace {

// A directory of its own for the files of one test, and a private resource
// store so no installed resource changes the outcome.
struct CheckDir {
    CheckDir()
        : path(std::string(TEST_BINARY_DIR) + "/check-config-" + std::to_string(std::random_device()()))
    {
        std::filesystem::create_directories(path);
    }
    ~CheckDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        return path + "/" + name;
    }
    std::string env() const { return "TELVAR_REGISTRY_ROOT=" + shellQuoted(path + "/registry"); }
    std::string path;
};

std::string scheme(const std::string& name, const std::string& body)
{
    return "    " + name + "() = \"\" {\n" + body + "    }\n";
}

std::string countersScheme(const std::string& name, const std::string& file)
{
    return scheme(name, "      active(Bool) = true {}\n      scheme(String) = \"counters-file\" {\n"
                        "        file(FileName) = \"" + file + "\" {}\n      }\n");
}

std::string collectorConf(const CheckDir& dir, const std::string& schemes, const std::string& extra = "")
{
    return "Telvar() = \"\" {\n  directories() = \"\" {\n    temp(DirName) = \"" + dir.path +
           "/temp\" {}\n  }\n}\nravlon() = \"\" {\n  working-dir(DirName) = \"" + dir.path + "/work\" {}\n" +
           extra + "  collect() = \"\" {\n" + schemes + "  }\n}\n";
}

} // namespace

TEST(CheckConfigTest, InstalledConfigurationPassesOnThisHost)
{
    CheckDir dir;
    // Its paths are relative to the install directory, here the project.
    ConfCtl::Run r = ravlonctl("check-config etc/ravlon.conf",
                               "cd " + shellQuoted(PROJECT_ROOT_DIR) + " && " + dir.env());
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("ravlon.collect.Ravlon.scheme.file (FileName) = etc/ravlon.counters\n"));
    // Instances differ between hosts; object and counter names must not.
    EXPECT_EQ(std::string::npos, r.err.find("NO_OBJECT")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("NO_COUNTER")) << r.err;
    // Nothing the working directory or the schemes would refuse.
    EXPECT_FALSE(std::filesystem::exists(std::string(PROJECT_ROOT_DIR) + "/work"));
}

TEST(CheckConfigTest, EachCollectorProblemIsOnePreciseLine)
{
    CheckDir dir;
    const std::string good = dir.write("good.counters", "# summary\nMemory\n{\nAvailable Bytes\n"
                                                        "Availble Bytes\n}\n");
    const std::string conf = dir.write(
        "ravlon.conf",
        collectorConf(dir, countersScheme("Ravlon", good) + countersScheme("Disk", dir.path + "/none.counters") +
                               scheme("Net", "      scheme(String) = \"counters-file\" {}\n")));
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(conf), dir.env());
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(conf + ": ravlon.collect.Disk.scheme.file: counters file " + dir.path +
                  "/none.counters does not exist\n" +
                  conf + ": ravlon.collect.Net.active: entry not found (result 2)\n" +
                  good + ":5: warning: \\Memory\\Availble Bytes is not known to this host: "
                  "No counter (PDH_CSTATUS_NO_COUNTER)\n",
              r.err);
    // Nothing was created.
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/work"));
}

TEST(CheckConfigTest, WhatTheCollectorRefusesAndWhatItOnlyReports)
{
    CheckDir dir;
    const std::string good = dir.write("good.counters", "Memory\n{\nAvailable Bytes\n}\n");
    const std::string bad = dir.write("bad.counters", "Memory\n{\nAvailable Bytes\n}\nSystem\nThreads\n");
    const std::string plain = dir.write("plain", "x");

    // Skipped kinds and inactive schemes only earn warnings (or nothing).
    std::string conf = dir.write(
        "skips.conf", collectorConf(dir, countersScheme("Ravlon", good) +
                                             scheme("Idle", "      active(Bool) = true {}\n"
                                                            "      scheme(String) = \"idle-data\" {}\n") +
                                             scheme("Odd", "      active(Bool) = TRUE {}\n"
                                                           "      scheme(String) = \"Counters-File\" {}\n") +
                                             scheme("Off", "      active(Bool) = false {}\n")));
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(conf), dir.env());
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(conf + ": warning: ravlon.collect.Idle.scheme: idle-data is no longer supported; the scheme is skipped\n" +
                  conf + ": warning: ravlon.collect.Odd.scheme: unknown scheme kind \"Counters-File\"; the scheme "
                         "is skipped\n",
              r.err);

    // A malformed counters file, a working directory below a file, no
    // temporary directory and no schemes at all are refused.
    conf = dir.write("bad.conf", collectorConf(dir, countersScheme("Ravlon", bad)));
    r = ravlonctl("check-config " + shellQuoted(conf), dir.env());
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(bad + ":6: expected \"{\" after object \"System\", found \"Threads\"\n", r.err);

    conf = dir.write("blocked.conf", "Telvar() = \"\" {}\nravlon() = \"\" {\n  working-dir(DirName) = \"" + plain +
                                         "/work\" {}\n  collect() = \"\" {}\n}\n");
    r = ravlonctl("check-config " + shellQuoted(conf), dir.env());
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(conf + ": Telvar.directories.temp: entry not found (result 2)\n" +
                  conf + ": working directory " + plain + "/work/ cannot be created: " + plain +
                  " is not a directory\n" +
                  conf + ": ravlon.collect: names no collection scheme\n",
              r.err);
}
