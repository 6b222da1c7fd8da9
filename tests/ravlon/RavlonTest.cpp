#include "ravlon/Ravlon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent/DataDelivery.h"
#include "agent/LogFile.h"
#include "common/DateTime.h"
#include "common/FileOperations.h"
#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "common/TimeSpan.h"
#include "logger/LogSettings.h"
#include "logger/LogSetup.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace Telvar;
using Telvar::Testing::waitFor;
using Telvar::Testing::slotName;

namespace {

// A collector whose restart is only counted: statusMonitor's side of it.
class CountingRavlon : public Ravlon {
public:
    CountingRavlon() : Ravlon("dummy") {}
    bool restart() override
    {
        ++restarts;
        clearReconfigureRequest();
        return true;
    }
    std::atomic<int> restarts{0};
};

class RavlonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousLevel_ = debugLevel();
        setDebugLevel(5);
        centre_ = MemorySink::makeCentre(sink_);
        collector_.logSetup().unit = SmartPointer<LoggerUnit>(new LoggerUnit(centre_, MODULE_RAVLON));
        sink_->clear();
    }
    void TearDown() override { setDebugLevel(previousLevel_); }

    std::vector<std::string> texts() const { return sink_->texts(); }
    bool logged(const std::string& text) const
    {
        for (const std::string& t : sink_->texts())
            if (t == text)
                return true;
        return false;
    }

    // Every message that reached the slot so far.
    static std::vector<IPCFields> drain(MailSlot& slot)
    {
        std::vector<std::string> raw;
        slot.receive(raw);
        std::vector<IPCFields> out;
        for (const std::string& m : raw) {
            IPCFields f;
            if (IPCServer::splitMessage(m, f))
                out.push_back(f);
        }
        return out;
    }

    SmartPointer<MemorySink> sink_;
    SmartPointer<LoggerCentre> centre_;
    CountingRavlon collector_;
    int32_t previousLevel_ = 0;
};

TEST_F(RavlonTest, ProcessInfoIsRepliedToTheNamedSlotWithTheRequestsIdentifier)
{
    const std::string back = slotName("back");
    MailSlot slot(IPC_RECEIVER, back);
    collector_.onCommand("COMMAND", "42", "SEND_PROCESS_INFO", back);
    std::vector<IPCFields> got;
    ASSERT_TRUE(waitFor([&] {
        for (const IPCFields& f : drain(slot))
            got.push_back(f);
        return !got.empty();
    }));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("REPLY", got[0].type);
    EXPECT_EQ("42", got[0].identifier);
    EXPECT_EQ(std::to_string(Platform::currentProcessId()) + "," + std::to_string(Agent::agentThreadId()),
              got[0].payload);
    EXPECT_EQ("Telvar_Ravlon", got[0].replyTo);
    std::vector<std::string> expected = {
        "IPC: Received message \"COMMAND\".",
        "IPC: Received command \"SEND_PROCESS_INFO\".",
        "IPC: Sending main thread ID as requested...",
        "IPC: Main thread ID sent.",
    };
    EXPECT_EQ(expected, texts());
}

// Nobody listening where the reply should go is no failure of the
// collector: the reply is lost, nothing is reported, the collector goes on.
TEST_F(RavlonTest, ReplyToAnAbsentOrInvalidSlotIsDroppedQuietly)
{
    for (const std::string& target : {slotName("absent"), std::string("no/such slot"), std::string()}) {
        sink_->clear();
        collector_.onCommand("COMMAND", "7", "SEND_PROCESS_INFO", target);
        EXPECT_TRUE(logged("IPC: Main thread ID sent.")) << target;
        for (const std::string& line : sink_->lines())
            EXPECT_EQ(0u, line.find("debug-")) << line;
    }
}

TEST_F(RavlonTest, DumpDeliversEveryDataFileAndRepliesWithAnEmptyPayload)
{
    Testing::TempDir dir("ravlon-dump");
    LogFile::setLoggerUnit(SmartPointer<LoggerUnit>());
    DataDelivery::instance().registerLogFile(dir.file("dumpLog"), "dump", TimeSpan(3600), false, nullptr);
    SmartPointer<LogFile> file = DataDelivery::instance().getLogFile("dump");
    ASSERT_FALSE(file.isNull());
    ASSERT_TRUE(file->write("30:1:??:0:h:0:a:0:d:0:o:0:prime: : : : : : : : : : \n1:5"));
    ASSERT_TRUE(file->endLine());

    const std::string back = slotName("dump");
    MailSlot slot(IPC_RECEIVER, back);
    collector_.onCommand("COMMAND", "d1", "RAVLONDUMP", back);
    std::vector<IPCFields> got;
    ASSERT_TRUE(waitFor([&] {
        got = drain(slot);
        return !got.empty();
    }));
    EXPECT_EQ("REPLY", got[0].type);
    EXPECT_EQ("d1", got[0].identifier);
    EXPECT_EQ("", got[0].payload);

    std::vector<std::string> delivered;
    for (const DirectoryEntry& e : listDirectory(dir.path(), "*"))
        if (e.isFile)
            delivered.push_back(e.name);
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ(".data", delivered[0].substr(delivered[0].size() - 5));
    EXPECT_NE(std::string::npos, delivered[0].find("-" + std::to_string(Platform::currentProcessId()) + "-"));
    EXPECT_TRUE(logged("IPC: Dumping data as requested..."));
    EXPECT_TRUE(logged("IPC: Reporting success to Telvar Core."));
    DataDelivery::instance().clear();
}

TEST_F(RavlonTest, FlagCommandsUnknownCommandsAndUnknownTypes)
{
    const std::string back = slotName("flags");
    MailSlot slot(IPC_RECEIVER, back);
    collector_.onCommand("COMMAND", "1", "die", back);
    EXPECT_FALSE(collector_.quitRequested());
    EXPECT_TRUE(logged("IPC: Received an unknown command."));
    collector_.onCommand("REPLY", "2", "DIE", back);
    EXPECT_FALSE(collector_.quitRequested());
    EXPECT_TRUE(logged("IPC: Received an unknown type."));
    EXPECT_FALSE(logged("IPC: Received command \"DIE\"."));

    collector_.onCommand("COMMAND", "3", "RECONFIG", back);
    EXPECT_TRUE(collector_.reconfigureRequested());
    EXPECT_TRUE(logged("IPC: Command \"RECONFIG\" from a sender the mailslot does not name."));
    EXPECT_TRUE(logged("Reconfiguring..."));
    collector_.onCommand("COMMAND", "4", "DIE", back);
    EXPECT_TRUE(collector_.quitRequested());
    EXPECT_TRUE(logged("Quitting."));
    // None of them is answered.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(drain(slot).empty());
}

// A command is its word exactly, as it arrives on the slot: a NUL or any
// byte after it makes it another (unknown) command. A flood of unknown
// commands is logged once, then counted.
TEST_F(RavlonTest, CommandsArriveExactlyOrNotAtAll)
{
    const std::string esc = "\x1b";
    const std::string head = "Telvar" + esc + "COMMAND" + esc + "1" + esc;
    struct Row {
        std::string bytes;  // as written, terminating NUL included
        bool quits;
    } rows[] = {
        {head + "DIE" + esc + std::string(1, '\0'), true},
        {head + "DIE" + std::string(1, '\0'), true},
        {head + std::string("DIE\0junk", 8) + esc + std::string(1, '\0'), false},
        {head + std::string("DIE\0junk\0", 9), false},
        {head + "DIE " + esc + std::string(1, '\0'), false},
        {head + "DIE\n" + esc + std::string(1, '\0'), false},
    };
    const std::string name = slotName("exact");
    CountingRavlon* current = nullptr;
    std::atomic<int> handled{0};
    IPCServerTiming timing;
    timing.pollMs = 5;
    IPCServer server(name, LogSink(),
                     [&](const std::string& t, const std::string& i, const std::string& p, const std::string& r) {
                         current->onCommand(t, i, p, r);
                         ++handled;
                     },
                     timing);
    Platform::MailslotHandle raw = 0;
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::openMailslot(name, false, raw));
    // An accepted DIE is logged at level 1 with the sender the kernel names.
#ifdef _WIN32
    const std::string dieLine = "IPC: Command \"DIE\" from a sender the mailslot does not name.";
#else
    const std::string dieLine = "IPC: Command \"DIE\" from uid " + std::to_string(::getuid()) + ", pid " +
                                std::to_string(Platform::currentProcessId()) + ".";
#endif
    for (const Row& row : rows) {
        CountingRavlon collector;
        collector.logSetup().unit = collector_.logSetup().unit;
        sink_->clear();
        current = &collector;
        int before = handled.load();
        ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, row.bytes.data(), row.bytes.size()));
        ASSERT_TRUE(waitFor([&] { return handled.load() == before + 1; }));
        EXPECT_EQ(row.quits, collector.quitRequested()) << IPCServer::printable(row.bytes);
        EXPECT_EQ(row.quits, logged(dieLine)) << IPCServer::printable(row.bytes);
    }
    Platform::closeMailslot(raw);
    server.stop();

    sink_->clear();
    for (int i = 0; i < 1000; ++i)
        collector_.onCommand("COMMAND", "2", "junk", "");
    int lines = 0;
    for (const std::string& text : texts())
        lines += text.rfind("IPC: Received an unknown command.", 0) == 0 ? 1 : 0;
    EXPECT_EQ(1, lines);
}

TEST_F(RavlonTest, MonitorRestartsOnceForTwoRequestsAndPostsQuitWhenItEnds)
{
    Platform::ensureThreadMessageQueue();
    Ravlon::setMainThreadId(Platform::currentThreadId());
    collector_.requestReconfigure();
    collector_.requestReconfigure();
    std::thread monitor([this] { Ravlon::statusMonitor(&collector_); });
    EXPECT_TRUE(waitFor([&] { return collector_.restarts.load() == 1; }));
    collector_.requestQuit();
    Platform::ThreadMessage message;
    EXPECT_EQ(0, Platform::waitThreadMessage(message, 10000));
    EXPECT_EQ(Platform::MSG_QUIT, message.message);
    monitor.join();
    EXPECT_EQ(1, collector_.restarts.load());
    EXPECT_TRUE(logged("START THREAD statusMonitor."));
    EXPECT_TRUE(logged("END THREAD statusMonitor."));
}

// Minutes pass on a virtual clock: every sleep moves it on by its length.
class VirtualMinutes {
public:
    explicit VirtualMinutes(Ravlon& collector, int64_t msUntilQuit) : collector_(collector), limit_(msUntilQuit)
    {
        clock_.readWith([this] { return 1700000000 + sleptMs_.load() / 1000; });
        clock_.sleepWith([this](int ms) {
            if ((sleptMs_ += ms) >= limit_)
                collector_.requestQuit();
        });
    }

private:
    Testing::ManualClock clock_;
    Ravlon& collector_;
    int64_t limit_;
    std::atomic<int64_t> sleptMs_{0};
};

TEST_F(RavlonTest, MonitorChecksOnceAMinuteAndSaysSoOnlyAtLevelFive)
{
    Ravlon::setMainThreadId(0);
    {
        VirtualMinutes minutes(collector_, 125000);
        Ravlon::statusMonitor(&collector_);
    }
    int running = 0;
    for (const std::string& t : texts())
        running += t == "statusMonitor is running as normal." ? 1 : 0;
    EXPECT_EQ(2, running);

    CountingRavlon quiet;
    quiet.logSetup().unit = SmartPointer<LoggerUnit>(new LoggerUnit(centre_, MODULE_RAVLON));
    sink_->clear();
    setDebugLevel(4);
    {
        VirtualMinutes minutes(quiet, 125000);
        Ravlon::statusMonitor(&quiet);
    }
    EXPECT_FALSE(logged("statusMonitor is running as normal."));
    EXPECT_TRUE(logged("START THREAD statusMonitor."));
}

TEST_F(RavlonTest, FailedThreadCheckEndsTheMonitorAndSetsTheQuitFlag)
{
    Ravlon::setMainThreadId(0);
    // Never started and impossible to restart.
    collector_.addThread(ThreadRecord("ghost", ThreadRecord::REPORTS_STATE));
    {
        VirtualMinutes minutes(collector_, 50000000);
        Ravlon::statusMonitor(&collector_);
    }
    EXPECT_TRUE(collector_.quitRequested());
    EXPECT_TRUE(logged("statusMonitor is exiting due to failed threads."));
    EXPECT_TRUE(logged("END THREAD statusMonitor."));
}

} // namespace
