#include "logger/LogMessengerIPC.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/IPC.h"
#include "common/MailSlot.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogRecord.h"
#include "logger/LoggerAgentFile.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/Process.h"
#include "support/MemorySink.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::slotName;

namespace {

std::string messageRecord(int32_t messageId, const std::string& parameters = "sabc\x1A")
{
    LogRecord r;
    r.kind = LogRecord::KIND_MESSAGE;
    r.applicationId = 8;
    r.moduleId = 9;
    r.time = DateTime(int64_t(1299215167));
    r.severity = 2;
    r.messageId = messageId;
    r.text = parameters;
    r.threadId = 42;
    return encodeRecord(r);
}

std::string debugRecord()
{
    LogRecord r;
    r.kind = LogRecord::KIND_DEBUG;
    r.applicationId = 8;
    r.moduleId = 9;
    r.time = DateTime(int64_t(1299215167));
    r.debugLevel = 2;
    r.text = "checking";
    r.threadId = 42;
    return encodeRecord(r);
}

std::string forwarded(const std::string& record) { return "Telvar\x1BLOGMSG\x1B\x1B" + record + "\x1B"; }

std::vector<std::string> drain(MailSlot& slot)
{
    std::vector<std::string> got;
    slot.receive(got);
    return got;
}

class LogMessengerIPCTest : public ::testing::Test {
protected:
    SmartPointer<MemorySink> sink_{new MemorySink()};
};

} // namespace

TEST_F(LogMessengerIPCTest, MessageIsWrittenLocallyAndForwardedAsItsRecordText)
{
    const std::string name = slotName("forward");
    MailSlot core(IPC_RECEIVER, name);
    LogMessengerIPC messenger(SmartPointer<LoggerAgent>(sink_), name);
    EXPECT_EQ(name, messenger.target());
    const std::string record = messageRecord(14);
    ASSERT_EQ(std::string("Telvar\x1CLOG\x1C"), record.substr(0, 11));
    EXPECT_TRUE(messenger.deliver(record));
    EXPECT_EQ(1u, sink_->count());
    EXPECT_EQ(std::vector<std::string>{forwarded(record)}, drain(core));
    EXPECT_EQ("", messenger.lastForwardError());
}

TEST_F(LogMessengerIPCTest, DebugTextsAndBrokenRecordsStayLocal)
{
    const std::string name = slotName("debug");
    MailSlot core(IPC_RECEIVER, name);
    LogMessengerIPC messenger(SmartPointer<LoggerAgent>(sink_), name);
    EXPECT_TRUE(messenger.deliver(debugRecord()));
    EXPECT_EQ(1u, sink_->count());
    EXPECT_FALSE(messenger.deliver("Telvar\x1CLOGX\x1C" "8\x1C"));
    EXPECT_FALSE(messenger.deliver(""));
    EXPECT_TRUE(drain(core).empty());
    EXPECT_EQ(1u, sink_->count());
}

TEST_F(LogMessengerIPCTest, AbsentCoreProgramIsNotAnError)
{
    LogMessengerIPC messenger(SmartPointer<LoggerAgent>(sink_), slotName("nobody"));
    EXPECT_TRUE(messenger.deliver(messageRecord(3)));
    EXPECT_EQ(1u, sink_->count());
    EXPECT_EQ("", messenger.lastForwardError());

    // The local result is what the caller gets.
    sink_->setFailing(true);
    EXPECT_FALSE(messenger.deliver(messageRecord(4)));
}

TEST_F(LogMessengerIPCTest, UnreachableTargetNameIsLikeAnAbsentCoreProgram)
{
    LogMessengerIPC messenger(SmartPointer<LoggerAgent>(sink_), "no such/slot");
    EXPECT_TRUE(messenger.deliver(messageRecord(5)));
    EXPECT_TRUE(messenger.deliver(messageRecord(6)));
    EXPECT_EQ(2u, sink_->count());
    EXPECT_EQ("", messenger.lastForwardError());
}

TEST_F(LogMessengerIPCTest, UnitMessagesFromManyThreadsAllArrive)
{
    const std::string name = slotName("threads");
    MailSlot core(IPC_RECEIVER, name);
    SmartPointer<LogMessenger> messenger(new LogMessengerIPC(SmartPointer<LoggerAgent>(sink_), name));
    SmartPointer<LoggerCentre> centre(new LoggerCentre(APPLICATION_RAVLON, messenger));
    constexpr int THREADS = 4;
    constexpr int MESSAGES = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            LoggerUnit unit(centre, MODULE_AGENT);
            for (int i = 0; i < MESSAGES; ++i)
                unit.debug(1, "quiet");
            for (int i = 0; i < MESSAGES; ++i)
                unit.notice(100 + t, ParamStream() << i);
        });
    for (auto& t : threads)
        t.join();
    std::set<std::string> payloads;
    for (const std::string& m : drain(core)) {
        ASSERT_EQ(std::string("Telvar\x1BLOGMSG\x1B\x1BTelvar\x1CLOG\x1C"), m.substr(0, 26));
        payloads.insert(m);
    }
    EXPECT_EQ(size_t(THREADS * MESSAGES), payloads.size());
}

TEST_F(LogMessengerIPCTest, DefaultMessengerWritesTheDebugLogFileUntilMoved)
{
    LogMessengerIPC messenger;
    EXPECT_EQ(std::string(LogMessengerIPC::CORE_MAILSLOT), messenger.target());
    EXPECT_EQ("file:///Telvar_Debug.log", messenger.sink()->location());
    const std::string moved = std::string(TEST_BINARY_DIR) + "/LogMessengerIPCTest_" +
                              std::to_string(Platform::currentProcessId()) + ".log";
    ASSERT_TRUE(messenger.setLogFile(moved));
    EXPECT_EQ("file:///" + moved, messenger.sink()->location());

    LogMessenger other{SmartPointer<LoggerAgent>(sink_)};
    EXPECT_FALSE(other.setLogFile(moved));  // not a file sink
}
