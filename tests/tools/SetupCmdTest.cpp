#include "support/ConfCtlRun.h"

#include "HostCountersFile.h"
#include "common/Resources.h"
#include "platform/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;
using Telvar::Testing::TempDir;
namespace fs = std::filesystem;

namespace {

class SetupCmdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = dir_.file("registry");
        prefix_ = dir_.file("inst");
        Telvar::Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", root_);
        Telvar::Platform::unsetEnvironmentVariable("TELVAR_ENV");
    }
    void TearDown() override { Telvar::Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT"); }

    ConfCtl::Run setup(const std::string& args) const
    {
        return ravlonctl("setup " + args, "TELVAR_REGISTRY_ROOT=" + shellQuoted(root_));
    }
    static std::string resource(const std::string& name)
    {
        std::string text;
        return Telvar::getResource(name, text) == Telvar::RESOURCE_OK ? text : "<absent>";
    }

    TempDir dir_;
    std::string root_;
    std::string prefix_;
};

TEST_F(SetupCmdTest, WritesTheThreeResourcesAndMakesTheirDirectories)
{
    ConfCtl::Run r = setup("--prefix " + shellQuoted(prefix_));
    ASSERT_EQ(0, r.exitCode) << r.err;
    const std::string conf = prefix_ + "/etc/ravlon/";
    const std::string state = prefix_ + "/var/lib/ravlon/";
    const std::string log = prefix_ + "/var/log/ravlon/";
    EXPECT_EQ("ConfigurationDir=" + conf + " (set)\nInstallDir=" + state + " (set)\nStartupLogDir=" + log + " (set)\n",
              r.out);
    EXPECT_EQ(conf, resource("ConfigurationDir"));
    EXPECT_EQ(state, resource("InstallDir"));
    EXPECT_EQ(log, resource("StartupLogDir"));
    for (const std::string& d : {conf, state, log})
        EXPECT_TRUE(fs::is_directory(d)) << d;

    // Running it again changes nothing and says so.
    r = setup("--prefix " + shellQuoted(prefix_ + "/"));
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("InstallDir=" + state + " (unchanged)"));
}

// An installation already pointed elsewhere is not silently moved: the
// collector would lose sight of its working directory and its data.
TEST_F(SetupCmdTest, ADifferentValueIsKeptUnlessForced)
{
    ASSERT_EQ(Telvar::RESOURCE_OK, Telvar::setResource("InstallDir", "/srv/other/"));
    ConfCtl::Run r = setup("--prefix " + shellQuoted(prefix_));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("ravlonctl setup: InstallDir is \"/srv/other/\", not \"" + prefix_ +
                  "/var/lib/ravlon/\" (--force replaces it)\n",
              r.err);
    // Nothing half-done: no other resource and no directory either.
    EXPECT_EQ("/srv/other/", resource("InstallDir"));
    EXPECT_EQ("<absent>", resource("ConfigurationDir"));
    EXPECT_FALSE(fs::exists(prefix_));

    r = setup("--force --prefix " + shellQuoted(prefix_));
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("InstallDir=" + prefix_ + "/var/lib/ravlon/ (replaced)"));
    EXPECT_EQ(prefix_ + "/var/lib/ravlon/", resource("InstallDir"));
}

TEST_F(SetupCmdTest, UsageAndDirectoriesThatCannotBeMade)
{
    EXPECT_EQ(2, setup("--prefix").exitCode);
    EXPECT_EQ(2, setup("--prefix ''").exitCode);
    EXPECT_EQ(2, setup("somewhere").exitCode);
    EXPECT_EQ(0, setup("--help").exitCode);

    ASSERT_TRUE(dir_.write("inst", "a file where the tree should go"));
    ConfCtl::Run r = setup("--prefix " + shellQuoted(prefix_));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("ravlonctl setup: cannot create the directory " + prefix_ + "/etc/ravlon/\n", r.err);
    EXPECT_EQ("<absent>", resource("InstallDir"));
}

} // namespace

namespace {

// The host is a recorded one: processors 0 and 1, interfaces lo, eth0 and
// wlan0, disks vda and sdb.
TEST_F(SetupCmdTest, CountersFilesAreMadeForTheHostAndAnEditedOneIsKept)
{
    const std::string snapshot = std::string(PROJECT_ROOT_DIR) + "/tests/data/proc/snap1";
    const std::string env = "TELVAR_REGISTRY_ROOT=" + shellQuoted(root_) + " TELVAR_PROC_ROOT=" +
                            shellQuoted(snapshot + "/proc") + " TELVAR_SYS_ROOT=" + shellQuoted(snapshot + "/sys");
    const std::string templ = prefix_ + "/share/ravlon/net.counters";
    ASSERT_TRUE(dir_.makeDirectory("inst/share/ravlon"));
    ASSERT_TRUE(TempDir::writeFile(templ, "# Interfaces\nNetwork Interface(*)\n{\nBytes Sent/sec\n}\n"
                                          "Processor(_Total)\n{\n% Idle Time\n}\n"));
    const std::string body = "# Interfaces\nNetwork Interface(eth0)\n{\nBytes Sent/sec\n}\n\n"
                             "Network Interface(wlan0)\n{\nBytes Sent/sec\n}\nProcessor(_Total)\n{\n% Idle Time\n}\n";
    const std::string made = "# Made for this host by \"ravlonctl setup\" from " + templ + "; fingerprint " +
                             Telvar::Ctl::HostCountersFile::fingerprint(body) + "\n" + body;
    const std::string file = prefix_ + "/etc/ravlon/net.counters";
    auto run = [&](const std::string& args) {
        // A narrow umask: the collector's account must still read the file.
        return ravlonctl("setup --prefix " + shellQuoted(prefix_) + args, "umask 027; " + env);
    };

    ConfCtl::Run r = run("");
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(file + " (made for this host)")) << r.out;
    EXPECT_EQ(made, TempDir::readFile(file));
    EXPECT_EQ(fs::perms::others_read, fs::status(file).permissions() & fs::perms::others_read);
    EXPECT_NE(std::string::npos, run("").out.find(file + " (unchanged)"));

    const std::string edited = made + "Memory\n{\nAvailable Bytes\n}\n";
    ASSERT_TRUE(TempDir::writeFile(file, edited));
    r = run("");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(file + " (edited, kept; --force makes it again")) << r.out;
    EXPECT_EQ(edited, TempDir::readFile(file));

    r = run(" --force");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(made, TempDir::readFile(file));
    EXPECT_EQ(edited, TempDir::readFile(file + ".bak"));
}

} // namespace
