// ravlonctl status against a stand-in for the collector: a listener on a
// private mailslot that answers SEND_PROCESS_INFO as the collector does.
#include "support/ConfCtlRun.h"

#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "common/Resources.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;
using Telvar::IPCClient;
using Telvar::IPCFields;
using Telvar::IPCServer;
using Telvar::MailSlot;
using Telvar::Testing::TempDir;
namespace fs = std::filesystem;

using Telvar::Testing::slotName;

namespace {

// Reads its mailslot until stopped; answers when asked to.
class FakeCollector {
public:
    FakeCollector(const std::string& name, bool answers)
        : slot_(Telvar::IPC_RECEIVER, name), answers_(answers), thread_([this] { loop(); })
    {
    }
    ~FakeCollector()
    {
        stop_ = true;
        thread_.join();
    }
    std::vector<IPCFields> requests()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }

    // What the collector answers: its process and its configuring thread.
    static std::string reply() { return std::to_string(Telvar::Platform::currentProcessId()) + ",8765"; }
    // Its own figures; one without a value (a rate before its second sample).
    static std::string figures() { return "% Processor Time=1.25;Records Written=12;Wake-ups/sec="; }

private:
    void loop()
    {
        while (!stop_) {
            std::vector<std::string> messages;
            slot_.receive(messages);
            for (const std::string& m : messages) {
                IPCFields f;
                if (!IPCServer::splitMessage(m, f))
                    continue;
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    requests_.push_back(f);
                }
                if (answers_ && f.type == "COMMAND" && f.payload == "SEND_PROCESS_INFO")
                    IPCClient(f.replyTo).send("REPLY", f.identifier, reply(), "Telvar_Ravlon");
                if (answers_ && f.type == "COMMAND" && f.payload == "SEND_STATISTICS")
                    IPCClient(f.replyTo).send("REPLY", f.identifier, figures(), "Telvar_Ravlon");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    MailSlot slot_;
    bool answers_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<IPCFields> requests_;
    std::thread thread_;
};

// The tool and this process share one resource store below a temporary root.
class StatusCmdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = dir_.file("registry");
        Telvar::Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", root_);
        Telvar::Platform::unsetEnvironmentVariable("TELVAR_ENV");
    }
    void TearDown() override { Telvar::Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT"); }

    ConfCtl::Run status(const std::string& args) const
    {
        return ravlonctl("status " + args, "TELVAR_REGISTRY_ROOT=" + shellQuoted(root_));
    }

    void touch(const std::string& name, size_t size, int64_t secondsAgo) const
    {
        ASSERT_TRUE(dir_.write(name, std::string(size, 'x')));
        fs::last_write_time(dir_.file(name), fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
    }

    TempDir dir_;
    std::string root_;
};

} // namespace

TEST_F(StatusCmdTest, AnsweringCollectorIsShownWithItsFiles)
{
    const std::string name = slotName("answers");
    FakeCollector collector(name, true);
    const std::string pid = std::to_string(Telvar::Platform::currentProcessId());
    ASSERT_EQ(0, Telvar::setResource("JOB_Ravlon", "pid=" + pid + ";tid=1"));
    ASSERT_EQ(0, Telvar::setResource("ConfigurationDir", dir_.file("etc")));
    ASSERT_TRUE(dir_.makeDirectory("etc"));
    ASSERT_TRUE(dir_.makeDirectory("work"));
    ASSERT_TRUE(dir_.write("etc/ravlon.conf", "ravlon() = \"\" {\n  working-dir(DirName) = \"" + dir_.file("work") +
                                                  "\" {}\n}\n"));
    touch("work/cpuLog-1765170310-77-3.make", 0, 60);
    touch("work/cpuLog-1765170310-77-3.make.tmp", 10, 0);
    touch("work/diskLog-1765170310-77-4.make", 2048, 7200);
    touch("work/cpuLog-1765000000-77-1.data", 5000, 2 * 86400);
    touch("work/cpuLog-1765170000-77-2.data", 1024, 3 * 3600);
    touch("work/notes.txt", 1, 0);

    ConfCtl::Run r = status("--to " + name + " --timeout 60");
    EXPECT_EQ(0, r.exitCode) << r.err;
    const std::string head = "running: answered on \"" + name + "\" in ";
    ASSERT_EQ(0u, r.out.find(head)) << r.out;
    std::string rest = r.out.substr(r.out.find('\n') + 1);
    // The youngest file's age may have moved on by a second or so.
    size_t young = rest.find("last written ");
    ASSERT_NE(std::string::npos, young) << rest;
    size_t youngEnd = rest.find(" s ago)", young);
    ASSERT_NE(std::string::npos, youngEnd) << rest;
    rest.replace(young, youngEnd - young, "last written N");
    EXPECT_EQ("  process " + pid + ", thread 8765\n"
              "  own figures (Ravlon Collector):\n"
              "    % Processor Time:        1.25\n"
              "    Records Written:         12\n"
              "    Wake-ups/sec:            (no value)\n"
              "  JOB_Ravlon: pid=" + pid + ";tid=1 (process " + pid + " exists)\n"
              "  configuration directory: " + dir_.file("etc") + "/\n"
              "  working directory: " + dir_.file("work") + "/\n"
              "  being written: cpuLog-1765170310-77-3.make.tmp (scheme cpu, 10 B, last written N s ago)\n"
              "  being written: diskLog-1765170310-77-4.make (scheme disk, 2.0 KiB, last written 2 h 0 min ago)\n"
              "  newest delivered: cpuLog-1765170000-77-2.data (1.0 KiB, 3 h 0 min old)\n",
              rest);
    EXPECT_EQ("", r.err);

    std::vector<IPCFields> asked = collector.requests();
    ASSERT_EQ(2u, asked.size());
    EXPECT_EQ("SEND_STATISTICS", asked[1].payload);

    // The resource left by another process that still exists (init).
    ASSERT_EQ(0, Telvar::setResource("JOB_Ravlon", "pid=1;tid=1"));
    ConfCtl::Run other = status("--to " + name + " --timeout 60");
    EXPECT_EQ(0, other.exitCode);
    EXPECT_NE(std::string::npos, other.out.find("  JOB_Ravlon: pid=1;tid=1 (process 1 exists)\n"
                                                "  the answering process is not the one JOB_Ravlon names\n"))
        << other.out;
    EXPECT_EQ("COMMAND", asked[0].type);
    EXPECT_EQ("SEND_PROCESS_INFO", asked[0].payload);
    // The reply slot is gone with the tool.
    EXPECT_FALSE(IPCClient(asked[0].replyTo).send("REPLY", asked[0].identifier, "late"));
}

TEST_F(StatusCmdTest, AbsentCollectorAndAProcessThatIsGone)
{
    // A process id that surely ended: a child of this process, waited for.
    Telvar::Platform::ProcessId child = Telvar::Testing::forkChild([] { return 0; });
    ASSERT_GT(child, 0);
    ASSERT_EQ(0, Telvar::Testing::waitChild(child, 30000));
    const std::string pid = std::to_string(child);
    ASSERT_EQ(0, Telvar::setResource("JOB_Ravlon", "pid=" + pid + ";tid=" + pid));

    const std::string name = slotName("absent");
    ConfCtl::Run r = status("--to " + name + " --timeout 0.1");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("not running: no mailslot \"" + name + "\"\n"
              "  JOB_Ravlon: pid=" + pid + ";tid=" + pid + " (process " + pid + " no longer exists)\n"
              "  configuration directory: not set\n"
              "  working directory: unknown (no configuration file)\n",
              r.out);

    // The collector takes a relative directory from its own current directory.
    ASSERT_TRUE(dir_.write("relative.conf", "ravlon() = \"\" {\n  working-dir(DirName) = \"no-such-work/\" {}\n}\n"));
    ConfCtl::Run relative = status("--to " + name + " --timeout 0.1 --config " + shellQuoted(dir_.file("relative.conf")));
    EXPECT_EQ(1, relative.exitCode);
    EXPECT_NE(std::string::npos,
              relative.out.find("  working directory: no-such-work/ (relative: looked up from the current directory)\n"
                                "  working directory cannot be listed\n"))
        << relative.out;
}

TEST_F(StatusCmdTest, SilentCollectorTimesOutAndTheDefaultWorkingDirectoryIsUsed)
{
    const std::string name = slotName("silent");
    FakeCollector collector(name, false);
    ASSERT_EQ(0, Telvar::setResource("JOB_Ravlon", "garbage"));
    ASSERT_EQ(0, Telvar::setResource("InstallDir", dir_.file("install")));
    ASSERT_TRUE(dir_.makeDirectory("install/Log/temp/RVL"));
    ASSERT_TRUE(dir_.write("other.conf", "ravlon() = \"\" {\n  interval(TimeSpan) = P1H {}\n}\n"));

    ConfCtl::Run r = status("--to " + name + " --timeout 0.3 --config " + shellQuoted(dir_.file("other.conf")));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("not answering: no reply on \"" + name + "\" within 0.3 s\n"
              "  JOB_Ravlon: garbage (not of the form pid=N;tid=N)\n"
              "  configuration directory: not set\n"
              "  working directory: " + dir_.file("install") + "/Log/temp/RVL/\n"
              "  being written: none\n"
              "  newest delivered: none\n",
              r.out);
    // It was asked all the same.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (collector.requests().empty() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(1u, collector.requests().size());

    ConfCtl::Run bad = status("--timeout soon");
    EXPECT_EQ(2, bad.exitCode);
    EXPECT_EQ(0u, bad.err.find("ravlonctl status: --timeout expects seconds up to 3600, not \"soon\"\n")) << bad.err;
}

#ifdef RAVLON_PATH
// The real collector on a small installation of its own: its own resource
// store and runtime directory (so its mailslot is private), one scheme.
TEST_F(StatusCmdTest, LiveCollectorAnswersAndIsGoneAfterItsStop)
{
    for (const char* d : {"etc", "temp", "log", "work", "run", "proc"})
        ASSERT_TRUE(dir_.makeDirectory(d));
    ASSERT_TRUE(dir_.write("etc/mem.counters", "Memory\n{\nAvailable Bytes\n}\n"));
    ASSERT_TRUE(dir_.write("etc/ravlon.conf",
                           "Telvar() = \"\" {\n  directories() = \"\" {\n"
                           "    conf(DirName) = \"" + dir_.file("etc") + "\" {}\n"
                           "    temp(DirName) = \"" + dir_.file("temp") + "\" {}\n"
                           "    log(DirName) = \"" + dir_.file("log") + "\" {}\n  }\n}\n"
                           "ravlon() = \"\" {\n  working-dir(DirName) = \"" + dir_.file("work") + "\" {}\n"
                           "  collect() = \"\" {\n    mem() = \"\" {\n      active(Bool) = true {}\n"
                           "      scheme(String) = \"counters-file\" {\n"
                           "        file(FileName) = \"" + dir_.file("etc/mem.counters") + "\" {}\n"
                           "      }\n    }\n  }\n}\n"));
    ASSERT_EQ(0, Telvar::setResource("ConfigurationDir", dir_.file("etc")));
    ASSERT_EQ(0, Telvar::setResource("InstallDir", dir_.path()));
    const std::string env = "TELVAR_REGISTRY_ROOT=" + shellQuoted(root_) + " TELVAR_RUNTIME_DIR=" +
                            shellQuoted(dir_.file("run")) + " RAVLON_START_DELAY=0 RAVLON_SETTLE_DELAY=0";
    const std::string pidFile = dir_.file("proc/pid");
    const std::string inner = "echo $$ >" + shellQuoted(pidFile) + "; cd " + shellQuoted(dir_.path()) + " && exec env " +
                              env + " " + shellQuoted(RAVLON_PATH);
    ASSERT_EQ(0, std::system(("sh -c " + shellQuoted(inner) + " >" + shellQuoted(dir_.file("proc/out")) + " 2>&1 </dev/null &").c_str()));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (TempDir::readFile(pidFile).empty() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long long pid = std::atoll(TempDir::readFile(pidFile).c_str());
    ASSERT_GT(pid, 0);
    const std::string pidText = std::to_string(pid);
    auto run = [&](const std::string& args) { return ravlonctl("status " + args, env); };

    // Up once its mailslot answers; start-up takes a few seconds.
    ConfCtl::Run up;
    until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do
        up = run("--timeout 2");
    while (up.exitCode != 0 && Telvar::Platform::processExists(pid) && std::chrono::steady_clock::now() < until);
    EXPECT_EQ(0, up.exitCode) << up.out << TempDir::readFile(dir_.file("proc/out"));
    EXPECT_EQ(0u, up.out.find("running: answered on \"Telvar_Ravlon\" in ")) << up.out;
    EXPECT_NE(std::string::npos, up.out.find("\n  process " + pidText + ", thread ")) << up.out;
    EXPECT_NE(std::string::npos, up.out.find("\n  JOB_Ravlon: pid=" + pidText + ";tid=")) << up.out;
    EXPECT_NE(std::string::npos, up.out.find(" (process " + pidText + " exists)\n")) << up.out;
    EXPECT_NE(std::string::npos, up.out.find("\n  working directory: " + dir_.file("work") + "/\n")) << up.out;

    ConfCtl::Run die = ravlonctl("send DIE", env);
    EXPECT_EQ(0, die.exitCode) << die.err;
    until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Telvar::Platform::processExists(pid) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (Telvar::Platform::processExists(pid)) {
        Telvar::Testing::killProcessHard(pid);
        FAIL() << "the collector did not stop on DIE";
    }
    ConfCtl::Run down = run("--timeout 1");
    EXPECT_EQ(1, down.exitCode) << down.out;
    EXPECT_NE(std::string::npos, down.out.find("(process " + pidText + " no longer exists)\n")) << down.out;
}
#endif
