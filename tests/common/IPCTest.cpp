#include "common/IPCClient.h"
#include "common/IPCServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/Exception.h"
#include "common/MailSlot.h"
#include "platform/Clock.h"
#include "platform/MailslotTransport.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TextSink.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::waitFor;
using Telvar::Testing::slotName;

namespace {

const std::string ESC = "\x1b";

TEST(IPCClientTest, MessageLayoutWithAndWithoutReplyTo)
{
    EXPECT_EQ("Telvar" + ESC + "REPLY" + ESC + "id" + ESC + "text" + ESC + "Telvar_Ravlon" + ESC,
              IPCClient::composeMessage("REPLY", "id", "text", "Telvar_Ravlon"));
    EXPECT_EQ("Telvar" + ESC + "COMMAND" + ESC + "7" + ESC + "DIE" + ESC, IPCClient::composeMessage("COMMAND", "7", "DIE", ""));
    // The empty identifier keeps its ESC; the log separators pass unchanged.
    EXPECT_EQ("Telvar" + ESC + "LOGMSG" + ESC + ESC + "a\x1c" "b\x1a" + ESC,
              IPCClient::composeMessage("LOGMSG", "", "a\x1c" "b\x1a", ""));
}

TEST(IPCClientTest, AbsentReceiverAnswersFalseUntilItExists)
{
    std::string name = slotName("absent");
    IPCClient client(name);
    EXPECT_EQ(name, client.target());
    EXPECT_FALSE(client.send("COMMAND", "1", "lost"));
    MailSlot receiver(IPC_RECEIVER, name);
    EXPECT_TRUE(client.send("COMMAND", "2", "first", "Back"));
    EXPECT_TRUE(client.send("COMMAND", "3", "second"));
    std::vector<std::string> got;
    EXPECT_EQ(Platform::MAILSLOT_NO_MESSAGE, receiver.receive(got));
    EXPECT_EQ((std::vector<std::string>{IPCClient::composeMessage("COMMAND", "2", "first", "Back"),
                                        IPCClient::composeMessage("COMMAND", "3", "second", "")}),
              got);
}

TEST(IPCClientTest, CraftedTargetNamesNeverLeaveTheSlotNamespace)
{
    for (const std::string& target : {std::string("../../tmp/x"), std::string("a\\b"), std::string(""),
                                      std::string(101, 'a'), std::string("Telvar_Core\x01")}) {
        IPCClient client(target);
        EXPECT_FALSE(client.send("REPLY", "1", "x")) << MailSlot::printableName(target);
        EXPECT_FALSE(client.sendRaw("raw"));
    }
}

TEST(IPCClientTest, ReceiverKilledHardAndRestartedUnderTheSameName)
{
    std::string name = slotName("killed");
    Platform::ProcessId child = Testing::forkChild([&] {
        MailSlot receiver(IPC_RECEIVER, name);
        for (;;)
            Platform::sleepMilliseconds(10);
        return 0;
    });
    ASSERT_GT(child, 0);
    IPCClient client(name);
    ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "probe", "x"); }));
    ASSERT_TRUE(Testing::killProcessHard(child));
    EXPECT_EQ(128 + 9, Testing::waitChild(child, 5000));

    // Nothing is left behind: the name is free at once.
    EXPECT_FALSE(client.send("COMMAND", "1", "nobody"));
    MailSlot receiver(IPC_RECEIVER, name);
    EXPECT_TRUE(client.send("COMMAND", "2", "again"));
    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_EQ(std::vector<std::string>{IPCClient::composeMessage("COMMAND", "2", "again", "")}, got);
}

TEST(IPCSplitTest, FieldsAndAddressee)
{
    IPCFields f;
    ASSERT_TRUE(IPCServer::splitMessage(IPCClient::composeMessage("COMMAND", "42", "DIE", "Back"), f));
    EXPECT_EQ("COMMAND", f.type);
    EXPECT_EQ("42", f.identifier);
    EXPECT_EQ("DIE", f.payload);
    EXPECT_EQ("Back", f.replyTo);

    // Only the addressee: four empty fields.
    ASSERT_TRUE(IPCServer::splitMessage("Telvar", f));
    EXPECT_EQ("", f.type + f.identifier + f.payload + f.replyTo);
    ASSERT_TRUE(IPCServer::splitMessage("Telvar" + ESC, f));
    EXPECT_EQ("", f.type + f.identifier + f.payload + f.replyTo);

    // Missing terminators and surplus fields.
    ASSERT_TRUE(IPCServer::splitMessage("Telvar" + ESC + "T" + ESC + "i", f));
    EXPECT_EQ("T", f.type);
    EXPECT_EQ("i", f.identifier);
    EXPECT_EQ("", f.payload);
    ASSERT_TRUE(IPCServer::splitMessage("Telvar" + ESC + "a" + ESC + "b" + ESC + "c" + ESC + "d" + ESC + "e" + ESC, f));
    EXPECT_EQ("d", f.replyTo);

    // Binary bytes pass into the fields.
    ASSERT_TRUE(IPCServer::splitMessage("Telvar" + ESC + "\xff\x01" + ESC, f));
    EXPECT_EQ("\xff\x01", f.type);

    for (const std::string& foreign : {std::string("TELVAR") + ESC + "COMMAND" + ESC, std::string("Telvarx") + ESC,
                                       std::string(""), std::string("Telva"), ESC + "Telvar" + ESC})
        EXPECT_FALSE(IPCServer::splitMessage(foreign, f)) << IPCServer::printable(foreign);
}

TEST(IPCSplitTest, PrintableShowsControlBytes)
{
    EXPECT_EQ("a\\x1bb\\x0a\\x7f\\x00\xc3\xa9", IPCServer::printable(std::string("a\x1b" "b\n\x7f\0\xc3\xa9", 8)));
}

struct Received {
    std::mutex mutex;
    std::vector<IPCFields> calls;
    void add(const std::string& t, const std::string& i, const std::string& p, const std::string& r)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(IPCFields{t, i, p, r});
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
};

class IPCServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        timing.pollMs = 5;
        timing.stopStepMs = 5;
        timing.reportMs = 60000;
    }
    IPCServer::Callback collect()
    {
        return [this](const std::string& t, const std::string& i, const std::string& p, const std::string& r) {
            received.add(t, i, p, r);
        };
    }

    // Whole debug texts of the server, in order.
    std::vector<std::string> texts() { return log.texts(); }
    bool hasText(const std::string& text) { return log.has(text); }
    LogSink logSink() { return log.sink(); }

    TextSink log;
    IPCServerTiming timing;
    Received received;
};

TEST_F(IPCServerTest, DeliversAddressedMessagesAndIgnoresOthers)
{
    std::string name = slotName("server");
    {
        IPCServer server(name, logSink(), collect(), timing);
        IPCClient client(name);
        ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "1", "first", "Back"); }));
        ASSERT_TRUE(client.sendRaw("TELVAR" + ESC + "COMMAND" + ESC + "2" + ESC + "DIE" + ESC));
        ASSERT_TRUE(client.sendRaw("TelvarX" + ESC + "COMMAND" + ESC + "3" + ESC + "DIE" + ESC));
        ASSERT_TRUE(client.sendRaw("Telvar"));
        ASSERT_TRUE(client.sendRaw("Telvar" + ESC + "LOGMSG" + ESC + ESC + "line\nnext" + ESC));
        ASSERT_TRUE(waitFor([&] { return received.size() == 3; }));
        server.stop();
        EXPECT_TRUE(server.listenerExited());
    }
    ASSERT_EQ(3u, received.calls.size());
    EXPECT_EQ("COMMAND|1|first|Back", received.calls[0].type + "|" + received.calls[0].identifier + "|" +
                                          received.calls[0].payload + "|" + received.calls[0].replyTo);
    EXPECT_EQ("|||", received.calls[1].type + "|" + received.calls[1].identifier + "|" + received.calls[1].payload +
                         "|" + received.calls[1].replyTo);
    EXPECT_EQ("line\nnext", received.calls[2].payload);

    EXPECT_TRUE(hasText("IPC: Created server \"" + name + "\"."));
    EXPECT_TRUE(hasText("IPC: Initializing listener for \"" + name + "\"."));
    EXPECT_TRUE(hasText("IPC: Creating MailSlot \"" + name + "\"."));
    EXPECT_TRUE(hasText("IPC: MailSlot created \"" + name + "\"."));
    EXPECT_TRUE(hasText("IPC: The message was not adressed to Telvar. Ignoring it."));
    EXPECT_TRUE(hasText("IPC: Received message line \"TelvarX\\x1bCOMMAND\\x1b3\\x1bDIE\\x1b\"."));
    // Not even "Telvar" at the start: dropped as it arrived, never seen here.
    EXPECT_FALSE(hasText("IPC: Received message line \"TELVAR\\x1bCOMMAND\\x1b2\\x1bDIE\\x1b\"."));
    EXPECT_TRUE(hasText("IPC: Received message line \"Telvar\\x1bLOGMSG\\x1b\\x1bline\\x0anext\\x1b\"."));
    EXPECT_TRUE(hasText("IPC: Exited IPC listener."));
    EXPECT_TRUE(hasText("IPC: Stopped server \"" + name + "\"."));
    EXPECT_TRUE(hasText("IPC: Destroyed server \"" + name + "\"."));
    bool counted = false;
    for (const std::string& t : texts())
        counted = counted || t.rfind("IPC: Server \"" + name + "\": Received ", 0) == 0;
    EXPECT_TRUE(counted);
}

TEST_F(IPCServerTest, CallbackFailureDoesNotEndTheListener)
{
    std::string name = slotName("throwing");
    IPCServer server(name, logSink(),
                     [this](const std::string& t, const std::string& i, const std::string& p, const std::string& r) {
                         received.add(t, i, p, r);
                         if (p == "bad")
                             throw std::runtime_error("boom");
                     },
                     timing);
    IPCClient client(name);
    ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "1", "bad"); }));
    ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
    ASSERT_TRUE(client.send("COMMAND", "2", "good"));
    ASSERT_TRUE(waitFor([&] { return received.size() == 2; }));
    EXPECT_TRUE(hasText("IPC: Handling a message failed: boom"));
    EXPECT_FALSE(server.listenerExited());
}

TEST_F(IPCServerTest, DestructionEndsTheListenerThroughItsQuitMessage)
{
    std::string name = slotName("destroyed");
    {
        IPCServer server(name, logSink(), collect(), timing);
        IPCClient client(name);
        ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "1", "x"); }));
    }
    EXPECT_TRUE(hasText("IPC: Received message to exit IPC listener."));
    EXPECT_TRUE(hasText("IPC: Exited IPC listener."));
    // The name is free for the next owner.
    MailSlot again(IPC_RECEIVER, name);
}

// No server without its mailslot: nothing to wait for at a stop, and the
// owner learns who holds the name.
TEST_F(IPCServerTest, TakenNameGivesNoServerAndNamesItsHolder)
{
    std::string name = slotName("taken");
    MailSlot holder(IPC_RECEIVER, name);
    auto start = std::chrono::steady_clock::now();
    try {
        IPCServer server(name, logSink(), collect(), timing);
        ADD_FAILURE() << "a server without its mailslot";
    } catch (const IPCException& e) {
        EXPECT_EQ("the name " + name + " is in use by PID " + std::to_string(Platform::currentProcessId()),
                  e.message());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(hasText("IPC: MailSlot created \"" + name + "\"."));
    EXPECT_FALSE(hasText("IPC: Stopping server \"" + name + "\" timed out."));
}

TEST_F(IPCServerTest, PassCountIsReportedWhenTheTimerFires)
{
    timing.reportMs = 0;
    std::string name = slotName("report");
    IPCServer server(name, logSink(), collect(), timing);
    ASSERT_TRUE(waitFor([&] { return hasText("IPC: Server \"" + name + "\": Now sleeping for a while."); }));
    server.stop();
    EXPECT_TRUE(hasText("IPC: Server \"" + name +
                        "\": Checking for incomming messages. Done so 0 times since last debug."));
}

TEST_F(IPCServerTest, OversizedMessagesAreDroppedAndTheRestDelivered)
{
    std::string name = slotName("oversized");
    IPCServer server(name, logSink(), collect(), timing);
    IPCClient client(name);
    ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "1", "x"); }));
    Platform::MailslotHandle raw = 0;
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::openMailslot(name, false, raw));
    std::string big = IPCClient::composeMessage("COMMAND", "2", std::string(70000, 'b'), "");
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, big.data(), big.size() + 1));
    Platform::closeMailslot(raw);
    ASSERT_TRUE(client.send("COMMAND", "3", "y"));
    ASSERT_TRUE(waitFor([&] { return received.size() == 2; }));
    EXPECT_EQ("3", received.calls[1].identifier);
    EXPECT_TRUE(waitFor([&] { return hasText("IPC: Server \"" + name + "\": Dropped 1 message(s) above 65536 bytes."); }));
}

} // namespace

// The owner's shutdown stops the server and its destructor stops it again:
// neither may cost a poll interval of the listener (a second by default).
TEST_F(IPCServerTest, StopEndsAnIdleListenerAtOnceAndASecondStopIsFree)
{
    IPCServerTiming slow;  // the defaults: 1 s polls, looks within 10 s
    std::string name = slotName("prompt");
    IPCServer server(name, logSink(), collect(), slow);
    ASSERT_TRUE(waitFor([&] { return hasText("IPC: MailSlot created \"" + name + "\"."); }));
    auto start = std::chrono::steady_clock::now();
    server.stop();
    auto first = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(server.listenerExited());
    EXPECT_LT(first, std::chrono::milliseconds(900));
    log.clear();
    start = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_FALSE(hasText("IPC: Stopped server \"" + name + "\"."));
}

// A command amid 100,000 junk commands addressed to "Telvar": the junk must
// neither fill the queue the command needs nor keep the listener busy for
// seconds.
TEST_F(IPCServerTest, CommandAmidAFloodOfJunkCommandsIsAnsweredQuickly)
{
    log.setMaxLevel(0);
    std::string name = slotName("flood");
    timing.pollMs = 1000;
    std::atomic<int> junk{0};
    IPCServer server(name, logSink(),
                     [&](const std::string& t, const std::string& i, const std::string& p, const std::string& r) {
                         if (p == "JUNK")
                             ++junk;
                         else
                             received.add(t, i, p, r);
                     },
                     timing);
    IPCClient client(name);
    ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "0", "ready"); }));
    ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
    std::atomic<bool> flooding{true};
    std::thread flooder([&] {
        MailSlot slot(IPC_SENDER_LOCAL, name);
        const std::string message = IPCClient::composeMessage("COMMAND", "j", "JUNK", "");
        for (int i = 0; i < 100000; ++i) {
            try {
                slot.send(message);
            } catch (const IPCException&) {
            }
        }
        flooding = false;
    });
    ASSERT_TRUE(waitFor([&] { return junk.load() > 1000; }));
    auto sent = std::chrono::steady_clock::now();
    bool accepted = client.send("COMMAND", "1", "amid the flood");
    bool answered = accepted && waitFor([&] { return received.size() == 2; }, 2000);
    auto took = std::chrono::steady_clock::now() - sent;
    const bool stillFlooding = flooding.load();
    flooder.join();
    ASSERT_TRUE(accepted) << client.lastError();
    EXPECT_TRUE(answered);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_TRUE(stillFlooding) << "the flood was over before the command: the test proves nothing";
    EXPECT_EQ("amid the flood", received.calls[1].payload);
}

// The listener sleeps until something arrives, however long its poll
// interval: a message is handled at once; commands the owner names come
// first, the junk taken with them is handed over once, as a count; the
// callback knows each sender.
TEST_F(IPCServerTest, SleepingListenerWakesForAMessageAndHandlesCommandsFirst)
{
    timing.pollMs = 600000;
    std::string name = slotName("urgent");
    std::atomic<bool> released{false};
    Platform::MailslotSender sender;
    std::atomic<int> junkCalls{0};
    std::atomic<size_t> junk{0};
    IPCServer::Triage triage;
    triage.isCommand = [](const IPCFields& f) { return f.payload != "junk"; };
    triage.junk = [&](const IPCFields& first, size_t count) {
        EXPECT_EQ("junk", first.payload);
        junk += count;
        ++junkCalls;
    };
    IPCServer server(
        name, logSink(),
        [&](const std::string& t, const std::string& i, const std::string& p, const std::string& r) {
            received.add(t, i, p, r);
            if (p == "cmd" && IPCServer::handledSender() != nullptr)
                sender = *IPCServer::handledSender();
            while (p == "hold" && !released.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        },
        timing, triage);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    IPCClient client(name);
    ASSERT_TRUE(client.send("COMMAND", "1", "hold"));
    ASSERT_TRUE(waitFor([&] { return received.size() == 1; }, 2000));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(client.send("COMMAND", "j", "junk"));
    ASSERT_TRUE(client.send("COMMAND", "2", "cmd"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    released = true;
    ASSERT_TRUE(waitFor([&] { return junk.load() == 50; }, 2000));
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ("cmd", received.calls[1].payload);
    EXPECT_EQ(1, junkCalls.load());
#ifdef _WIN32
    EXPECT_FALSE(sender.known);
#else
    EXPECT_TRUE(sender.known);
    EXPECT_EQ(Platform::currentProcessId(), sender.pid);
#endif
    EXPECT_EQ(nullptr, IPCServer::handledSender());
}
