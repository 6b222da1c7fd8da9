#include "support/ConfCtlRun.h"

#include "common/Resources.h"
#include "platform/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;
using Telvar::Testing::TempDir;
namespace fs = std::filesystem;

namespace {

// ravlonctl and this process share one resource store below a temporary root.
class ResourceCmdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = dir_.file("registry");
        Telvar::Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", root_);
        Telvar::Platform::unsetEnvironmentVariable("TELVAR_ENV");
    }
    void TearDown() override
    {
        Telvar::Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
        Telvar::Platform::unsetEnvironmentVariable("TELVAR_ENV");
    }

    ConfCtl::Run ctl(const std::string& args, const std::string& env = "") const
    {
        return ravlonctl("resource " + args, "TELVAR_REGISTRY_ROOT=" + shellQuoted(root_) + " " + env);
    }

    TempDir dir_;
    std::string root_;
};

} // namespace

TEST_F(ResourceCmdTest, ValuesPassBetweenTheToolAndTheCollectorUnchanged)
{
    const std::string odd = "C:\\Program Files\\Telvar\\ 'quoted' \"double\" $HOME";
    ConfCtl::Run r = ctl("set InstallDir " + shellQuoted(odd));
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::string text;
    EXPECT_EQ(Telvar::RESOURCE_OK, Telvar::getResource("InstallDir", text));
    EXPECT_EQ(odd, text);

    ASSERT_EQ(Telvar::RESOURCE_OK, Telvar::setResource("JOB_Ravlon", "pid=41;tid=42"));
    ASSERT_EQ(Telvar::RESOURCE_OK, Telvar::setResource("ConfigurationDir", "${InstallDir}etc"));
    r = ctl("get JOB_Ravlon");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("pid=41;tid=42\n", r.out);
    r = ctl("list");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("ConfigurationDir=" + odd + "etc\nInstallDir=" + odd + "\nJOB_Ravlon=pid=41;tid=42\n", r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(ResourceCmdTest, TelvarEnvChoosesTheKey)
{
    ASSERT_EQ(0, ctl("set StartupLogDir /var/log/a").exitCode);
    ASSERT_EQ(0, ctl("set StartupLogDir /var/log/b", "TELVAR_ENV='SOFTWARE\\Telvar\\Test'").exitCode);

    EXPECT_EQ("/var/log/a\n", ctl("get StartupLogDir").out);
    EXPECT_EQ("/var/log/b\n", ctl("get StartupLogDir", "TELVAR_ENV='SOFTWARE\\Telvar\\Test'").out);
    std::string text;
    Telvar::Platform::setEnvironmentVariable("TELVAR_ENV", "SOFTWARE\\Telvar\\Test");
    EXPECT_EQ(Telvar::RESOURCE_OK, Telvar::getResource("StartupLogDir", text));
    EXPECT_EQ("/var/log/b", text);

    ConfCtl::Run r = ctl("get StartupLogDir", "TELVAR_ENV='SOFTWARE\\Telvar\\Other'");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("ravlonctl resource: StartupLogDir: not found in HKEY_LOCAL_MACHINE\\SOFTWARE\\Telvar\\Other\n",
              r.err);
}

TEST_F(ResourceCmdTest, WriteFailureAndUsage)
{
    // A store root that is a file cannot hold keys.
    std::ofstream(root_) << "not a directory";
    ConfCtl::Run r = ctl("set InstallDir /opt/telvar");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("ravlonctl resource: cannot write InstallDir in the resource store " + root_ +
                  "/HKEY_LOCAL_MACHINE/SOFTWARE/Telvar/Resources: Not a directory\n",
              r.err);
    fs::remove(root_);

    r = ctl("set --number StartupDebugLevel five");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("ravlonctl resource: not a number from 0 to 4294967295: five\n"
              "usage: ravlonctl resource list | get NAME | set [--number] NAME VALUE\n",
              r.err);
    EXPECT_FALSE(fs::exists(root_));
    r = ctl("get");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("ravlonctl resource: get needs exactly one NAME\n"
              "usage: ravlonctl resource list | get NAME | set [--number] NAME VALUE\n",
              r.err);

    r = ravlonctl("--help");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("resource")) << r.out;
}

namespace {

// Stored bytes never reach the terminal raw, and long names get one limit
// with a reason, whatever the process id.
TEST_F(ResourceCmdTest, ControlBytesAreShownEscapedAndNamesHaveOneLimit)
{
    ASSERT_EQ(Telvar::RESOURCE_OK, Telvar::setResource("Bell", std::string("a\x1b[2Jb\x07")));
    ConfCtl::Run r = ctl("list");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("Bell=a\\x1b[2Jb\\x07\n", r.out);
    r = ctl("get Bell");
    EXPECT_EQ("a\\x1b[2Jb\\x07\n", r.out);

    const std::string longest(240, 'n');
    r = ctl("set " + longest + " value");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("value\n", ctl("get " + longest).out);
    r = ctl("set " + longest + "n value");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("NAME longer than 240 bytes")) << r.err;
    // The library refuses it as well, not only the tool.
    EXPECT_NE(Telvar::RESOURCE_OK, Telvar::setResource(longest + "n", "value"));
    std::string text;
    EXPECT_EQ(Telvar::RESOURCE_NOT_READ, Telvar::getResource(longest + "n", text));
}

} // namespace
