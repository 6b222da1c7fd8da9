// What a user sees when the collector cannot start: the program itself, on a
// private resource store and runtime directory, without an installation.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/Monopoly.h"
#include "support/ConfCtlRun.h"
#include "support/TempDir.h"

using ConfCtl::shellQuoted;
using ConfCtl::slurp;

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class StartFailureTest : public ::testing::Test {
protected:
    StartFailureTest() : dir_("ravlon-start")
    {
        env_ = "env -u TELVAR_ENV TELVAR_REGISTRY_ROOT=" + shellQuoted(dir_.path() + "/registry") +
               " TELVAR_RUNTIME_DIR=" + shellQuoted(dir_.path() + "/run") + " RAVLON_SETTLE_DELAY=0";
        std::filesystem::create_directories(dir_.path() + "/run");
    }
    // ravlon in the test's directory (where its log goes without resources).
    ConfCtl::Run ravlon(const std::string& env, const std::string& args)
    {
        const std::string base = dir_.path() + "/run-";
        const std::string cmd = "cd " + shellQuoted(dir_.path()) + " && " + env_ + " " + env + " " +
                                shellQuoted(RAVLON_PATH) + " " + args + " >" + shellQuoted(base + "out") + " 2>" +
                                shellQuoted(base + "err") + " </dev/null; echo $? >" + shellQuoted(base + "rc");
        ConfCtl::Run run;
        if (std::system(cmd.c_str()) == 0)
            run.exitCode = std::atoi(slurp(base + "rc").c_str());
        run.out = slurp(base + "out");
        run.err = slurp(base + "err");
        return run;
    }
    std::string log() const { return slurp(dir_.path() + "/RavlonDebug.log"); }

    Telvar::Testing::TempDir dir_;
    std::string env_;
};

TEST_F(StartFailureTest, BeforeSetupItSaysWhichResourceIsMissingAndHowToMakeIt)
{
    ConfCtl::Run r = ravlon("RAVLON_START_DELAY=0", "");
    EXPECT_EQ(255, r.exitCode);
    EXPECT_TRUE(has(r.err, "ravlon: cannot start: the resource ConfigurationDir is not in the resource store " +
                               dir_.path() + "/registry/")) << r.err;
    EXPECT_TRUE(has(r.err, "run 'ravlonctl setup'")) << r.err;
    EXPECT_TRUE(has(r.err, "The log " + dir_.path() + "/RavlonDebug.log has the details.")) << r.err;
    EXPECT_TRUE(has(log(), "Ravlon ends: cannot start: the resource ConfigurationDir")) << log();
    EXPECT_FALSE(has(log(), "Message not found")) << log();
}

TEST_F(StartFailureTest, ASecondInstanceNamesTheFirst)
{
    // This process holds the instance lock as a running collector would.
    setenv("TELVAR_RUNTIME_DIR", (dir_.path() + "/run").c_str(), 1);
    Telvar::Monopoly lock("Ravlon");
    ASSERT_TRUE(lock.enforce());
    ConfCtl::Run r = ravlon("RAVLON_START_DELAY=0", "");
    lock.relax();
    unsetenv("TELVAR_RUNTIME_DIR");
    EXPECT_EQ(255, r.exitCode);
    const std::string pid = "(PID " + std::to_string(getpid()) + ")";
    EXPECT_TRUE(has(r.err, "ravlon: cannot start: another Ravlon is already running on this host " + pid)) << r.err;
    EXPECT_TRUE(has(log(), "Another instance of Ravlon is already running on this host; this one ends.")) << log();
    EXPECT_TRUE(has(log(), pid)) << log();
    EXPECT_FALSE(has(log(), "Message not found")) << log();
}

TEST_F(StartFailureTest, UsageErrorsAreAnsweredBeforeTheStartPause)
{
    const auto start = std::chrono::steady_clock::now();
    for (const char* args : {"--bogus", "-x 1", "-c", "stray"}) {
        ConfCtl::Run r = ravlon("RAVLON_START_DELAY=600", args);
        EXPECT_EQ(2, r.exitCode) << args;
        EXPECT_EQ(0u, r.err.find("ravlon: ")) << r.err;
        EXPECT_TRUE(has(r.err, "Usage: ravlon [-c CONFIGURATION_FILE]")) << r.err;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(has(ravlon("", "--bogus").err, "ravlon: unknown option '--bogus'\n"));
    EXPECT_TRUE(has(ravlon("", "-cdir/a-b.conf").err, "unknown option '-b' (a value containing '-' must be quoted)"));

    ConfCtl::Run help = ravlon("", "--help");
    for (const char* name : {"-c FILE", "--version", "RAVLON_START_DELAY", "RAVLON_SETTLE_DELAY", "TELVAR_REGISTRY_ROOT",
                             "TELVAR_ENV", "TELVAR_RUNTIME_DIR", "TELVAR_PROC_ROOT", "TELVAR_SYS_ROOT"})
        EXPECT_TRUE(has(help.out, name)) << name;
}

TEST_F(StartFailureTest, TheStartPauseIsSaidAtOnce)
{
    ConfCtl::Run r = ravlon("RAVLON_START_DELAY=1", "");
    EXPECT_EQ(0u, r.err.find("ravlon: waiting 1 s before starting (RAVLON_START_DELAY)\n")) << r.err;
}

} // namespace
