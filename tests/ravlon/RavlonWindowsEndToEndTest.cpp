// The real Windows program on a private installation: commands from a
// second process, and the two ways it is told to end (the "DIE" command
// and a close message to its hidden window).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/Resources.h"
#include "platform/MessageWindow.h"
#include "platform/Process.h"
#include "ravlon/ProgramEntry.h"
#include "support/ChildMain.h"
#include "support/TestInstallation.h"

using namespace Telvar;
using Testing::TestInstallation;

namespace {

bool waitFor(const std::function<bool()>& condition, int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

struct CtlRun {
    int exitCode = -1;
    std::string out;
};

CtlRun ravlonctl(const std::vector<std::string>& args)
{
    Testing::ChildProcess ctl;
    CtlRun run;
    if (!ctl.start(RAVLONCTL_PATH, args))
        return run;
    std::vector<std::string> lines;
    run.exitCode = ctl.wait(lines);
    for (const std::string& line : lines)
        run.out += line + "\n";
    return run;
}

// The shared test installation (a private resource tree that ravlon.exe
// inherits through TELVAR_REGISTRY_ROOT), catalogues of the source tree, a
// counters file wine's PDH can serve, and no pauses at the start.
class WindowsInstallation {
public:
    WindowsInstallation()
    {
        Platform::setEnvironmentVariable("RAVLON_START_DELAY", "0");
        Platform::setEnvironmentVariable("RAVLON_SETTLE_DELAY", "0");
        std::string text;
        const bool resources = getResource("ConfigurationDir", text) == RESOURCE_OK &&
                               text == install_.configurationDirectory();
        const bool files = install_.dir().makeDirectory("work") &&
                           install_.writeConfiguration("Processor(_Total)\n{\n% Processor Time\n}\n", "wine.counters") &&
                           install_.writeConfiguration(configuration(), "e2e.conf");
        EXPECT_TRUE(resources) << text;
        EXPECT_TRUE(files) << path("conf/e2e.conf");
        ready_ = resources && files;
    }
    ~WindowsInstallation()
    {
        for (const char* name : {"RAVLON_START_DELAY", "RAVLON_SETTLE_DELAY"})
            Platform::unsetEnvironmentVariable(name);
    }

    bool ready() const { return ready_; }
    std::string path(const std::string& below) const { return install_.dir().file(below); }
    std::string log() const { return install_.log(); }

private:
    std::string configuration() const
    {
        auto dirName = [](const std::string& name, const std::string& value) {
            return name + "(DirName) = \"" + TestInstallation::quotedValue(value) + "\" {}\n";
        };
        return "Telvar() = \"\" {\n directories() = \"\" {\n" + dirName("conf", PROJECT_ROOT_DIR "/etc/") +
               dirName("temp", install_.temporaryDirectory()) + dirName("log", install_.logDirectory()) + " }\n}\n" +
               "log() = \"\" {\n global() = \"\" {\n  debug-level(Integer) = 5 {}\n }\n}\n" +
               "ravlon() = \"\" {\n log() = \"\" {\n  debug-level(Integer) = 5 {}\n }\n" +
               dirName("working-dir", path("work/")) +
               " collect() = \"\" {\n  Wine() = \"\" {\n   active(Bool) = true {}\n"
               "   scheme(String) = \"counters-file\" {\n    file(FileName) = \"" +
               TestInstallation::quotedValue(path("conf/wine.counters")) + "\" {}\n   }\n  }\n }\n}\n";
    }

    TestInstallation install_;
    bool ready_ = false;
};

// ravlon.exe named by the configuration file it is given; its exit status
// once it ended on its own (-1 when it had to be killed).
class Collector {
public:
    explicit Collector(const WindowsInstallation& inst, const std::string& configuration = "conf/e2e.conf")
    {
        started_ = process_.start(RAVLON_PATH, {"-c", inst.path(configuration)});
    }
    bool started() const { return started_; }
    Platform::ProcessId pid() const { return process_.pid(); }
    int end(int withinMs)
    {
        const Platform::ProcessId id = pid();
        if (!waitFor([id] { return !Platform::processExists(id); }, withinMs))
            process_.killHard();
        std::vector<std::string> ignored;
        int code = process_.wait(ignored);
        return code;
    }

private:
    Testing::ChildProcess process_;
    bool started_ = false;
};

// Asked until the command mailslot exists (configuration comes first), or
// until the collector has ended without serving.
CtlRun askUntilServed(const Collector& ravlon, const std::vector<std::string>& args)
{
    CtlRun run;
    const Platform::ProcessId id = ravlon.pid();
    waitFor(
        [&] {
            run = ravlonctl(args);
            return run.exitCode == 0 || !Platform::processExists(id);
        },
        60000);
    return run;
}

TEST(RavlonWindowsEndToEndTest, ProcessInfoFromASecondProcessThenDieEndsWithStatusZero)
{
    WindowsInstallation inst;
    ASSERT_TRUE(inst.ready());
    Collector ravlon(inst);
    ASSERT_TRUE(ravlon.started());

    const std::string back = "RavlonWinE2E_" + std::to_string(Platform::currentProcessId());
    CtlRun info = askUntilServed(ravlon, {"send", "--id", "42", "--reply-to", back, "--wait", "5", "SEND_PROCESS_INFO"});
    ASSERT_EQ(0, info.exitCode) << inst.log();
    // The process and the thread that configured it.
    EXPECT_EQ(0u, info.out.rfind(std::to_string(ravlon.pid()) + ",", 0)) << info.out;
    // The hidden window exists, under the names the system is told.
    EXPECT_NE(0u, Platform::findWindow(ProgramEntry::WINDOW_CLASS, ProgramEntry::WINDOW_TITLE));

    EXPECT_EQ(0, ravlonctl({"send", "DIE"}).exitCode);
    EXPECT_EQ(0, ravlon.end(30000)) << inst.log();
    const std::string log = inst.log();
    // statusMonitor ended the loop with its quit message, not a close message.
    EXPECT_NE(std::string::npos, log.find("END THREAD statusMonitor.")) << log;
    EXPECT_EQ(std::string::npos, log.find("Main loop: Got Windows message to shut down.")) << log;
    EXPECT_NE(std::string::npos, log.find("Ravlon main control has ended.")) << log;
}

TEST(RavlonWindowsEndToEndTest, CloseMessageToTheHiddenWindowEndsItInOrder)
{
    WindowsInstallation inst;
    ASSERT_TRUE(inst.ready());
    Collector ravlon(inst);
    ASSERT_TRUE(ravlon.started());
    ASSERT_EQ(0, askUntilServed(ravlon, {"send", "--wait", "5", "SEND_PROCESS_INFO"}).exitCode) << inst.log();

    Platform::WindowHandle window = Platform::findWindow(ProgramEntry::WINDOW_CLASS, ProgramEntry::WINDOW_TITLE);
    ASSERT_NE(0u, window);
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::postWindowMessage(window, Platform::MSG_CLOSE, 0, 0));
    EXPECT_EQ(0, ravlon.end(30000)) << inst.log();
    const std::string log = inst.log();
    EXPECT_NE(std::string::npos, log.find("Main loop: Got Windows message to shut down.")) << log;
    EXPECT_NE(std::string::npos, log.find("Ravlon main control has ended.")) << log;
}

// Windows keeps the whole -1 of a failed configuration as the exit status.
TEST(RavlonWindowsEndToEndTest, AFailedConfigurationEndsWithMinusOne)
{
    WindowsInstallation inst;
    ASSERT_TRUE(inst.ready());
    Collector ravlon(inst, "conf/no-such.conf");
    ASSERT_TRUE(ravlon.started());
    const Platform::ProcessId id = ravlon.pid();
    ASSERT_TRUE(waitFor([id] { return !Platform::processExists(id); }, 60000)) << inst.log();
    EXPECT_EQ(-1, ravlon.end(0)) << inst.log();
}

} // namespace
