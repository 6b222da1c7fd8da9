#include "common/MailSlot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "common/Exception.h"
#include "platform/MailslotTransport.h"
#include "common/Monopoly.h"
#include "platform/Process.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::slotName;

namespace {

struct DebugLines {
    DebugLines()
    {
        MailSlot::setDebugHook([this](int32_t level, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(std::to_string(level) + ":" + text);
        });
    }
    ~DebugLines() { MailSlot::setDebugHook(nullptr); }
    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

IPCException sendFailure(MailSlot& slot, const std::string& text)
{
    try {
        slot.send(text);
    } catch (const IPCException& e) {
        return e;
    }
    ADD_FAILURE() << "send did not fail";
    return IPCException(IPCException::IC_NONE);
}

TEST(MailSlotTest, EmptySlotGivesNothing)
{
    MailSlot receiver(IPC_RECEIVER, slotName("empty"));
    std::vector<std::string> got{"kept"};
    EXPECT_EQ(Platform::MAILSLOT_NO_MESSAGE, receiver.receive(got));
    EXPECT_EQ(std::vector<std::string>{"kept"}, got);
}

// Only the terminating NUL is cut: text after a NUL inside stays, so that it
// cannot hide behind a command word.
TEST(MailSlotTest, QueuedMessagesComeInArrivalOrderWithoutTheirTerminatingNul)
{
    std::string name = slotName("order");
    MailSlot receiver(IPC_RECEIVER, name);
    MailSlot sender(IPC_SENDER_LOCAL, name);
    EXPECT_TRUE(sender.send("first"));
    EXPECT_TRUE(sender.send(std::string("second\0hidden", 13)));
    EXPECT_TRUE(sender.send(""));
    // A peer that writes without NUL or with binary bytes.
    Platform::MailslotHandle raw = 0;
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::openMailslot(name, false, raw));
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, "no nul", 6));
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, "\xff\x01\x1b", 3));
    Platform::closeMailslot(raw);

    std::vector<std::string> got;
    EXPECT_EQ(Platform::MAILSLOT_NO_MESSAGE, receiver.receive(got));
    EXPECT_EQ((std::vector<std::string>{"first", std::string("second\0hidden", 13), "", "no nul", "\xff\x01\x1b"}),
              got);
}

TEST(MailSlotTest, AbsentReceiverFailsAtOnceAndLaterSendSucceeds)
{
    std::string name = slotName("absent");
    MailSlot sender(IPC_SENDER_LOCAL, name);
    IPCException e = sendFailure(sender, "x");
    EXPECT_EQ(IPCException::IC_CANNOT_SEND, e.code());
    EXPECT_EQ("The system cannot find the file specified.", e.message());
    ASSERT_FALSE(e.trace().empty());
    EXPECT_EQ("MailSlot", e.trace().front().module);

    MailSlot receiver(IPC_RECEIVER, name);
    EXPECT_TRUE(sender.send("now"));
    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_EQ(std::vector<std::string>{"now"}, got);
}

TEST(MailSlotTest, OpenSenderFollowsTheSlotAcrossARestart)
{
    std::string name = slotName("restart");
    MailSlot sender(IPC_SENDER_LOCAL, name);
    {
        MailSlot receiver(IPC_RECEIVER, name);
        EXPECT_TRUE(sender.send("one"));
    }
    // Gone with its receiver: the cached handle fails, and is dropped.
    IPCException e = sendFailure(sender, "lost");
    EXPECT_EQ(IPCException::IC_CANNOT_SEND, e.code());
    EXPECT_EQ("Error 2", e.message());

    MailSlot receiver(IPC_RECEIVER, name);
    EXPECT_TRUE(sender.send("two"));
    {
        MailSlot again(IPC_SENDER_LOCAL, name);
        EXPECT_TRUE(again.send("three"));
    }
    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_EQ((std::vector<std::string>{"two", "three"}), got);
}

TEST(MailSlotTest, NameInUseCannotBeCreatedTwice)
{
    std::string name = slotName("twice");
    MailSlot first(IPC_RECEIVER, name);
    try {
        MailSlot second(IPC_RECEIVER, name);
        FAIL() << "second receiver";
    } catch (const IPCException& e) {
        EXPECT_EQ(IPCException::IC_CANNOT_CREATE_COMM, e.code());
        EXPECT_EQ("183", e.message());
    }
}

TEST(MailSlotTest, WrongDirectionIsRefused)
{
    std::string name = slotName("direction");
    MailSlot receiver(IPC_RECEIVER, name);
    IPCException e = sendFailure(receiver, "x");
    EXPECT_EQ(IPCException::IC_NOT_SENDER, e.code());
    EXPECT_EQ("", e.message());
    MailSlot sender(IPC_SENDER_LOCAL, name);
    std::vector<std::string> got;
    try {
        sender.receive(got);
        FAIL() << "sender received";
    } catch (const IPCException& x) {
        EXPECT_EQ(IPCException::IC_NOT_RECEIVER, x.code());
    }
}

TEST(MailSlotTest, NamesAreCheckedBeforeAnyUse)
{
    const std::string longest(100, 'n');
    for (const std::string& good : {std::string("Telvar_Core"), std::string("a-b.c_9"), longest})
        EXPECT_TRUE(MailSlot::isValidName(good)) << good;
    const std::vector<std::string> bad = {"",         std::string(101, 'n'), "a/b",    "a\\b",
                                          "..\x01",   "a b",                  "caf\xc3\xa9", std::string("a\0b", 3),
                                          "\\\\.\\x", "Telvar_Core\n"};
    for (const std::string& name : bad)
        EXPECT_FALSE(MailSlot::isValidName(name)) << MailSlot::printableName(name);

    MailSlot sender(IPC_SENDER_LOCAL, "a/b\x01");
    IPCException e = sendFailure(sender, "x");
    EXPECT_EQ(IPCException::IC_CANNOT_SEND, e.code());
    EXPECT_EQ("Invalid mailslot name \"a/b\\x01\": 1 to 100 letters, digits, '_', '-' or '.' expected", e.message());

    try {
        MailSlot receiver(IPC_RECEIVER, std::string(150, 'x'));
        FAIL() << "receiver with a long name";
    } catch (const IPCException& x) {
        EXPECT_EQ(IPCException::IC_CANNOT_CREATE_COMM, x.code());
        EXPECT_EQ("Invalid mailslot name \"" + std::string(100, 'x') +
                      "...\": 1 to 100 letters, digits, '_', '-' or '.' expected",
                  x.message());
    }
    EXPECT_EQ("q\\x22\\x5c\\x1b\\xe9", MailSlot::printableName("q\"\\\x1b\xe9"));
}

TEST(MailSlotTest, OversizedMessagesAreDroppedWithADebugLine)
{
    DebugLines debug;
    std::string name = slotName("big");
    MailSlot receiver(IPC_RECEIVER, name);
    Platform::MailslotHandle raw = 0;
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::openMailslot(name, false, raw));
    std::string big(Platform::MAILSLOT_MAX_MESSAGE + 1, 'b');
    std::string limit(Platform::MAILSLOT_MAX_MESSAGE, 'l');
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, big.data(), big.size()));
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, limit.data(), limit.size()));
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::writeMailslot(raw, "after", 6));
    Platform::closeMailslot(raw);

    std::vector<std::string> got;
    receiver.receive(got);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(limit, got[0]);
    EXPECT_EQ("after", got[1]);
    EXPECT_EQ(1u, receiver.takeDroppedCount());
    EXPECT_EQ(0u, receiver.takeDroppedCount());
    EXPECT_EQ(std::vector<std::string>{"2:MailSlot: Dropped 1 message(s) above 65536 bytes on \"" + name + "\"."},
              debug.taken());

    // A sender does not claim success for what the receiver would drop.
    MailSlot sender(IPC_SENDER_LOCAL, name);
    IPCException e = sendFailure(sender, std::string(Platform::MAILSLOT_MAX_MESSAGE, 'x'));
    EXPECT_EQ(IPCException::IC_CANNOT_SEND, e.code());
    EXPECT_EQ("Message of 65537 bytes exceeds the limit of 65536 bytes", e.message());
    EXPECT_TRUE(sender.send(std::string(Platform::MAILSLOT_MAX_MESSAGE - 1, 'x')));
}

TEST(MailSlotTest, BurstIsQueuedWithoutHoldingTheWriters)
{
    std::string name = slotName("burst");
    MailSlot receiver(IPC_RECEIVER, name);
    MailSlot sender(IPC_SENDER_LOCAL, name);
    // Far more than the kernel keeps per socket; one receive takes them all.
    const size_t count = 3000;
    for (size_t i = 0; i < count; ++i)
        ASSERT_TRUE(sender.send("m" + std::to_string(i))) << i;
    std::vector<std::string> got;
    EXPECT_EQ(Platform::MAILSLOT_NO_MESSAGE, receiver.receive(got));
    ASSERT_EQ(count, got.size());
    for (size_t i = 0; i < count; ++i)
        ASSERT_EQ("m" + std::to_string(i), got[i]);
}

TEST(MailSlotTest, BroadcastWritesLocallyAndSaysSoOnce)
{
    DebugLines debug;
    std::string name = slotName("broadcast");
    MailSlot receiver(IPC_RECEIVER, name);
    MailSlot first(IPC_SENDER_BROADCAST, name);
    MailSlot second(IPC_SENDER_BROADCAST, name);
    EXPECT_TRUE(first.send("a"));
    EXPECT_TRUE(second.send("b"));
    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), got);
    EXPECT_EQ(std::vector<std::string>{"1:MailSlot: Broadcast to every machine is not available here; \"" + name +
                                       "\" is written on this machine only."},
              debug.taken());
}

TEST(MailSlotTest, FullReceiverMakesTheWriterGiveUp)
{
    uint32_t previous = Platform::setMailslotWriteWaitMilliseconds(20);
    std::string name = slotName("full");
    MailSlot receiver(IPC_RECEIVER, name);
    MailSlot sender(IPC_SENDER_LOCAL, name);
    // 8 MiB of queue: about 140 messages of 60000 bytes.
    std::string chunk(60000, 'c');
    bool failed = false;
    for (int i = 0; i < 400 && !failed; ++i) {
        try {
            sender.send(chunk);
        } catch (const IPCException& e) {
            EXPECT_EQ("Error 121 - mailslot full", e.message());
            failed = true;
        }
    }
    EXPECT_TRUE(failed);
    Platform::setMailslotWriteWaitMilliseconds(previous);
    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_GT(got.size(), 100u);
}


// Points TELVAR_RUNTIME_DIR at path while it lives.
class RuntimeDirectory {
public:
    explicit RuntimeDirectory(const std::string& path)
        : had_(Platform::hasEnvironmentVariable("TELVAR_RUNTIME_DIR")),
          old_(Platform::environmentVariable("TELVAR_RUNTIME_DIR"))
    {
        Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", path);
    }
    ~RuntimeDirectory()
    {
        if (had_)
            Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", old_);
        else
            Platform::unsetEnvironmentVariable("TELVAR_RUNTIME_DIR");
    }

private:
    bool had_;
    std::string old_;
};

// Every name the check accepts must work, also under a long runtime directory.
TEST(MailSlotTest, LongestNamesWorkEndToEnd)
{
    Testing::TempDir dir;
    RuntimeDirectory runtime(dir.file(std::string(90, 'r')));
    std::string base = std::to_string(Platform::currentProcessId()) + "_";
    for (size_t length : {size_t(64), size_t(65), size_t(99), size_t(100)}) {
        for (char fill : {'a', 'b'}) {
            std::string name = base + std::string(length - base.size(), fill);
            ASSERT_TRUE(MailSlot::isValidName(name));
            MailSlot receiver(IPC_RECEIVER, name);
            MailSlot sender(IPC_SENDER_LOCAL, name);
            EXPECT_TRUE(sender.send("to " + name));
            std::vector<std::string> got;
            receiver.receive(got);
            EXPECT_EQ(std::vector<std::string>{"to " + name}, got) << length;
        }
    }
    // Names that share their first 99 characters stay apart.
    MailSlot a(IPC_RECEIVER, base + std::string(99 - base.size(), 'x') + "1");
    MailSlot b(IPC_RECEIVER, base + std::string(99 - base.size(), 'x') + "2");
}

// A writer waiting for a lock held elsewhere sleeps: in its 5 seconds of
// patience it must not burn a processor.
TEST(MailSlotTest, BlockedWriterWaitsWithoutSpinning)
{
    // The writer lock is machine-wide: a runtime directory of our own keeps
    // other tests' writers out of the measurement.
    Testing::TempDir dir;
    RuntimeDirectory runtime(dir.file("run"));
    std::string name = slotName("blocked");
    MailSlot receiver(IPC_RECEIVER, name);
    Monopoly holder(MailSlot::WRITER_LOCK_NAME);
    ASSERT_TRUE(holder.enforce());
    double cpuSeconds = 0;
    bool failed = false;
    std::thread writer([&] {
        MailSlot sender(IPC_SENDER_LOCAL, name);
        timespec start{};
        timespec end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        try {
            sender.send("blocked");
        } catch (const IPCException&) {
            failed = true;
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        cpuSeconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    });
    writer.join();
    holder.relax();
    EXPECT_TRUE(failed);
    EXPECT_LT(cpuSeconds, 0.5);
}

} // namespace
