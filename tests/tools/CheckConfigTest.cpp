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

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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
    const std::string problem = ":14: ravlon.collect.base.scheme (String) is required: entry not found\n";
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(data("sample.conf")));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(expected, r.out);
    EXPECT_TRUE(has(r.err, data("sample.conf") + problem)) << r.err;
    EXPECT_TRUE(has(r.err, data("sample.conf") + ":10: warning: ravlon.label is not a known key and is not read")) << r.err;

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
    EXPECT_TRUE(has(r.err, gz + problem)) << r.err;
    std::remove(gz.c_str());
}

TEST(CheckConfigTest, SyntaxErrorNamesFileAndLine)
{
    std::string file = data("syntax-error.conf");
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(file));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(has(r.err, file + ":4: ConfReader: Missing '='.\n")) << r.err;
}

TEST(CheckConfigTest, UnreadableFile)
{
    std::string file = std::string(TEST_BINARY_DIR) + "/no-such-dir/none.conf";
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(file));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(has(r.err, file + ": the configuration file cannot be read: ")) << r.err;
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

// The same judge as the collector's start-up (whose agreement the corpus of
// tests/data/conf/judge shows); here what reaches the operator.
TEST(CheckConfigTest, WhatTheCollectorRefusesAndWhatItOnlyReports)
{
    CheckDir dir;
    const std::string good = dir.write("good.counters", "Memory\n{\nAvailable Bytes\nAvailble Bytes\n}\n");
    std::string conf = dir.write(
        "skips.conf", collectorConf(dir, countersScheme("Ravlon", good) +
                                             scheme("Idle", "      active(Bool) = true {}\n"
                                                            "      scheme(String) = \"idle-data\" {}\n") +
                                             scheme("Off", "      active(Bool) = false {}\n")));
    ConfCtl::Run r = ravlonctl("check-config " + shellQuoted(conf), dir.env());
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_TRUE(has(r.err, "note: no installation here")) << r.err;
    EXPECT_TRUE(has(r.err, conf + ":15: warning: ravlon.collect.Idle.scheme: idle-data is no longer supported")) << r.err;
    EXPECT_TRUE(has(r.err, good + ":4: warning: \\Memory\\Availble Bytes of scheme Ravlon: this host cannot give "
                           "it: No counter (PDH_CSTATUS_NO_COUNTER)"))
        << r.err;

    conf = dir.write("bad.conf", collectorConf(dir, countersScheme("Ravlon", dir.path + "/none.counters")));
    r = ravlonctl("check-config " + shellQuoted(conf), dir.env());
    EXPECT_EQ(1, r.exitCode);
    EXPECT_TRUE(has(r.err, conf + ":12: the counters file " + dir.path + "/none.counters of scheme Ravlon does not "
                                   "exist\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "ravlonctl check-config: the collector would refuse " + conf)) << r.err;
    // Nothing was created.
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/work"));
}
