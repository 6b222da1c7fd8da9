#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/ConfCtlRun.h"
#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

using namespace Telvar;
using ConfCtl::shellQuoted;
using ConfCtl::slurp;
using Telvar::Testing::waitFor;
using Telvar::Testing::slotName;

namespace {

namespace fs = std::filesystem;

// ravlonctl running in the background; its output and exit code land in files.
class Background {
public:
    explicit Background(const std::string& args)
        : dir_(fs::temp_directory_path() / ("sendlisten-" + std::to_string(Platform::currentProcessId()) + "-" +
                                            std::to_string(counter_++)))
    {
        fs::create_directories(dir_);
        std::string inner = "echo $$ >" + shellQuoted(path("pid")) + "; exec " + shellQuoted(RAVLONCTL_PATH) + " " + args;
        std::string cmd = "( sh -c " + shellQuoted(inner) + " >" + shellQuoted(path("out")) + " 2>" +
                          shellQuoted(path("err")) + " </dev/null; echo $? >" + shellQuoted(path("rc.tmp")) +
                          "; mv " + shellQuoted(path("rc.tmp")) + " " + shellQuoted(path("rc")) + " ) &";
        started_ = std::system(cmd.c_str()) == 0 && waitFor([this] { return !slurp(path("pid")).empty(); });
    }
    ~Background()
    {
        if (!finished())
            signal("KILL");
        waitFor([this] { return finished(); });
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool started() const { return started_; }
    std::string out() const { return slurp(path("out")); }
    std::string err() const { return slurp(path("err")); }
    bool finished() const { return fs::exists(path("rc")); }
    int exitCode() const { return std::atoi(slurp(path("rc")).c_str()); }
    void signal(const std::string& name) const
    {
        std::string cmd = "kill -" + name + " $(cat " + shellQuoted(path("pid")) + ")";
        EXPECT_EQ(0, std::system(cmd.c_str()));
    }

private:
    std::string path(const std::string& file) const { return (dir_ / file).string(); }

    static int counter_;
    fs::path dir_;
    bool started_ = false;
};
int Background::counter_ = 0;

TEST(SendListenTest, ListenShowsEachMessageAsItsFields)
{
    std::string name = slotName("listen");
    Background listen("listen " + name);
    ASSERT_TRUE(listen.started());
    IPCClient client(name);
    ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "probe", "p"); }));

    ConfCtl::Run sent = ConfCtl::ravlonctl("send --to " + name + " --id 7 hello");
    EXPECT_EQ(0, sent.exitCode);
    EXPECT_EQ("", sent.out);
    EXPECT_EQ("", sent.err);
    ASSERT_TRUE(client.send("LOGMSG", "", "a\x1c" "b\n", "Back"));
    ASSERT_TRUE(client.sendRaw("foreign"));

    const std::string expected = "Telvar | COMMAND | probe | p\n"
                                 "Telvar | COMMAND | 7 | hello\n"
                                 "Telvar | LOGMSG |  | a\\x1cb\\x0a | Back\n"
                                 "foreign\n";
    EXPECT_TRUE(waitFor([&] { return listen.out() == expected; })) << listen.out();
    listen.signal("TERM");
    ASSERT_TRUE(waitFor([&] { return listen.finished(); }));
    EXPECT_EQ(0, listen.exitCode());
    EXPECT_EQ("ravlonctl listen: listening on \"" + name + "\"\n", listen.err());
    // Gone with the listener.
    EXPECT_FALSE(client.send("COMMAND", "late", "x"));
}

TEST(SendListenTest, SentMessageGetsAFreshIdentifierAndTheDefaults)
{
    std::string name = slotName("fresh");
    MailSlot receiver(IPC_RECEIVER, name);
    ASSERT_EQ(0, ConfCtl::ravlonctl("send --to " + name + " one").exitCode);
    ASSERT_EQ(0, ConfCtl::ravlonctl("send --to " + name + " --type PING --id '' -- --two").exitCode);
    std::vector<std::string> got;
    receiver.receive(got);
    ASSERT_EQ(2u, got.size());
    IPCFields first, second;
    ASSERT_TRUE(IPCServer::splitMessage(got[0], first));
    ASSERT_TRUE(IPCServer::splitMessage(got[1], second));
    EXPECT_EQ("COMMAND", first.type);
    EXPECT_EQ("one", first.payload);
    EXPECT_EQ("", first.replyTo);
    EXPECT_EQ(0u, first.identifier.rfind("ravlonctl-", 0)) << first.identifier;
    EXPECT_EQ(IPCClient::composeMessage("PING", "", "--two", ""), got[1]);
}

TEST(SendListenTest, WaitWithoutAnAnswerTimesOut)
{
    std::string name = slotName("silent");
    MailSlot receiver(IPC_RECEIVER, name);
    ConfCtl::Run r = ConfCtl::ravlonctl("send --to " + name + " --id 9 --wait 0.2 ping");
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("ravlonctl send: no reply from \"" + name + "\" within 0.2 s\n", r.err);

    std::vector<std::string> got;
    receiver.receive(got);
    ASSERT_EQ(1u, got.size());
    IPCFields request;
    ASSERT_TRUE(IPCServer::splitMessage(got[0], request));
    EXPECT_EQ("COMMAND", request.type);
    EXPECT_EQ("9", request.identifier);
    EXPECT_EQ("ping", request.payload);
    EXPECT_TRUE(MailSlot::isValidName(request.replyTo)) << request.replyTo;
    // The reply slot went away with the command.
    IPCClient back(request.replyTo);
    EXPECT_FALSE(back.send("REPLY", "9", "late"));
}

TEST(SendListenTest, WaitPrintsThePayloadOfTheMatchingReply)
{
    std::string name = slotName("answering");
    MailSlot receiver(IPC_RECEIVER, name);
    Background send("send --to " + name + " --id 42 --wait 10 SEND_PROCESS_INFO");
    ASSERT_TRUE(send.started());
    std::vector<std::string> got;
    ASSERT_TRUE(waitFor([&] {
        receiver.receive(got);
        return !got.empty();
    }));
    IPCFields request;
    ASSERT_TRUE(IPCServer::splitMessage(got[0], request));
    IPCClient back(request.replyTo);
    EXPECT_TRUE(back.send("REPLY", "41", "other request", name));
    EXPECT_TRUE(back.send("COMMAND", "42", "not a reply", name));
    EXPECT_TRUE(back.sendRaw("TELVAR\x1bREPLY\x1b" "42\x1b" "foreign\x1b"));
    EXPECT_TRUE(back.send("REPLY", "42", "1234,5678", name));
    ASSERT_TRUE(waitFor([&] { return send.finished(); }));
    EXPECT_EQ(0, send.exitCode());
    EXPECT_EQ("1234,5678\n", send.out());
}

// The operator names where the reply goes: without --wait it is only named,
// with --wait the tool listens there itself.
TEST(SendListenTest, ReplyToNamesTheReplySlot)
{
    std::string name = slotName("target");
    std::string mine = slotName("mine");
    MailSlot receiver(IPC_RECEIVER, name);
    ConfCtl::Run r = ConfCtl::ravlonctl("send --to " + name + " --id 5 --reply-to " + mine + " RAVLONDUMP");
    EXPECT_EQ(0, r.exitCode) << r.err;
    std::vector<std::string> got;
    receiver.receive(got);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(IPCClient::composeMessage("COMMAND", "5", "RAVLONDUMP", mine), got[0]);

    Background send("send --to " + name + " --id 6 --reply-to " + mine + " --wait 10 SEND_PROCESS_INFO");
    ASSERT_TRUE(send.started());
    got.clear();
    ASSERT_TRUE(waitFor([&] {
        receiver.receive(got);
        return !got.empty();
    }));
    IPCFields request;
    ASSERT_TRUE(IPCServer::splitMessage(got[0], request));
    EXPECT_EQ(mine, request.replyTo);
    IPCClient back(mine);
    EXPECT_TRUE(back.send("REPLY", "6", "9,10", name));
    ASSERT_TRUE(waitFor([&] { return send.finished(); }));
    EXPECT_EQ(0, send.exitCode());
    EXPECT_EQ("9,10\n", send.out());
}

TEST(SendListenTest, FailuresAndUsage)
{
    std::string absent = slotName("absent");
    ConfCtl::Run r = ConfCtl::ravlonctl("send --to " + absent + " x");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("ravlonctl send: could not send to \"" + absent + "\" (no such mailslot?)\n", r.err);

    r = ConfCtl::ravlonctl("send --to '../etc/x' x");
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("ravlonctl send: invalid mailslot name \"../etc/x\": 1 to 100 letters, digits, '_', '-' or '.' "
              "expected\nusage: ravlonctl send [--to NAME] [--type TYPE] [--id ID] [--reply-to NAME] [--wait SECONDS] "
              "PAYLOAD\n",
              r.err);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send a b").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send --wait soon x").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send --wait -1 x").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send --id").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send --reply-to").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send --reply-to 'a/b' x").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("send --colour red x").exitCode);
    EXPECT_EQ(2, ConfCtl::ravlonctl("listen a b").exitCode);
    EXPECT_EQ(0, ConfCtl::ravlonctl("send --help").exitCode);
    EXPECT_EQ(0, ConfCtl::ravlonctl("listen --help").exitCode);

    std::string taken = slotName("taken");
    MailSlot holder(IPC_RECEIVER, taken);
    r = ConfCtl::ravlonctl("listen " + taken);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.err.find("ravlonctl listen: cannot create mailslot \"" + taken + "\": IPC: "));
}

} // namespace

namespace {

// A reader that stopped reading blocks the output; a termination request
// must still end the listener.
TEST(SendListenTest, ListenEndsOnTerminationWhileItsOutputIsBlocked)
{
    Telvar::Testing::TempDir dir("listen-blocked");
    const std::string name = slotName("blocked");
    const std::string inner = "echo $$ >" + shellQuoted(dir.file("pid")) + "; exec " + shellQuoted(RAVLONCTL_PATH) +
                              " listen " + name;
    const std::string reader = "echo $$ >" + shellQuoted(dir.file("reader")) + "; exec sleep 120";
    const std::string cmd = "( sh -c " + shellQuoted(inner) + " 2>/dev/null | sh -c " + shellQuoted(reader) +
                            " ) >/dev/null 2>&1 &";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    ASSERT_TRUE(waitFor([&] { return !slurp(dir.file("pid")).empty() && !slurp(dir.file("reader")).empty(); }));
    const Platform::ProcessId pid = std::atoll(slurp(dir.file("pid")).c_str());
    const Platform::ProcessId sleeper = std::atoll(slurp(dir.file("reader")).c_str());
    IPCClient client(name);
    ASSERT_TRUE(waitFor([&] { return client.send("COMMAND", "0", "first"); }));
    // Far more than a pipe holds.
    const std::string payload(1000, 'p');
    for (int i = 0; i < 400; ++i)
        client.send("COMMAND", std::to_string(i), payload);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(Platform::processExists(pid));
    ASSERT_EQ(0, std::system(("kill -TERM " + std::to_string(pid)).c_str()));
    bool ended = waitFor([&] { return !Platform::processExists(pid); }, 10000);
    Testing::killProcessHard(sleeper);
    if (!ended)
        Testing::killProcessHard(pid);
    EXPECT_TRUE(ended);
}

} // namespace
