#include "support/ConfCtlRun.h"

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
