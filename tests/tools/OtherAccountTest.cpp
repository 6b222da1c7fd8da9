// Another local account against the command channel: it may send and get
// replies, but it can neither take the system's names nor block its senders.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/ConfCtlRun.h"
#include "common/Exception.h"
#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "common/Monopoly.h"
#include "platform/Process.h"
#include "support/ChildMain.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

#include <unistd.h>

using namespace Telvar;
using ConfCtl::shellQuoted;
using ConfCtl::slurp;
namespace fs = std::filesystem;

using Telvar::Testing::waitFor;

namespace {

// Child: holds a named lock until killed.
int holdLock(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return 2;
    Monopoly lock(args[0]);
    if (!lock.enforce())
        return 3;
    std::printf("held\n");
    std::fflush(stdout);
    for (int i = 0; i < 600; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}

const Testing::ChildRegistrar holder("hold-lock", holdLock);

int shell(const std::string& command) { return std::system(command.c_str()); }

// A throw-away local account, removed again with the object.
class Account {
public:
    Account() : name_("tlvr" + std::to_string(Platform::currentProcessId()))
    {
        created_ = shell("useradd -M -N -r -s /usr/sbin/nologin " + name_ + " >/dev/null 2>&1") == 0;
    }
    ~Account()
    {
        if (created_)
            shell("userdel " + name_ + " >/dev/null 2>&1");
    }
    bool created() const { return created_; }
    // Runs command as this account, keeping the environment.
    std::string as(const std::string& command) const
    {
        return "setpriv --reuid=" + name_ + " --regid=nogroup --clear-groups -- " + command;
    }

private:
    std::string name_;
    bool created_ = false;
};

class OtherAccountTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0 || shell("command -v useradd >/dev/null && command -v setpriv >/dev/null") != 0)
            GTEST_SKIP() << "needs root, useradd and setpriv";
        account_.reset(new Account);
        if (!account_->created())
            GTEST_SKIP() << "could not create a second account";
        // The other account must reach the programs and the runtime directory.
        fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
        fs::create_directories(dir_.file("bin"));
        fs::copy_file(RAVLONCTL_PATH, dir_.file("bin/ravlonctl"));
        fs::copy_file(Testing::selfExecutable(), dir_.file("bin/self"));
        hadRuntime_ = Platform::hasEnvironmentVariable("TELVAR_RUNTIME_DIR");
        oldRuntime_ = Platform::environmentVariable("TELVAR_RUNTIME_DIR");
        Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", dir_.file("run"));
    }
    void TearDown() override
    {
        if (hadRuntime_)
            Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", oldRuntime_);
        else
            Platform::unsetEnvironmentVariable("TELVAR_RUNTIME_DIR");
        account_.reset();
    }

    // Runs a command as the other account; output to files in the temp dir.
    int runAs(const std::string& command, std::string* out = nullptr, std::string* err = nullptr)
    {
        std::string o = dir_.file("out");
        std::string e = dir_.file("err");
        int rc = shell(account_->as(command) + " >" + shellQuoted(o) + " 2>" + shellQuoted(e));
        if (out)
            *out = slurp(o);
        if (err)
            *err = slurp(e);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    std::string name(const std::string& what) const
    {
        return "Telvar_OtherAccount_" + std::to_string(Platform::currentProcessId()) + "_" + what;
    }

    Testing::TempDir dir_{"otheraccount"};
    std::unique_ptr<Account> account_;
    bool hadRuntime_ = false;
    std::string oldRuntime_;
};

TEST_F(OtherAccountTest, CannotCreateTheSystemsNamesBeforeTheCollector)
{
    // The collector's account has been here before: the directory exists.
    { MailSlot first(IPC_RECEIVER, name("setup")); }
    const std::string bin = dir_.file("bin/ravlonctl");
    std::string err;
    // Were it allowed, the listener would run until stopped: give it 10 s.
    EXPECT_EQ(1, runAs("timeout 10 " + shellQuoted(bin) + " listen " + name("collector"), nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("cannot create mailslot")) << err;
    // The name is still free for the collector's own account.
    MailSlot collector(IPC_RECEIVER, name("collector"));
    IPCClient client(name("collector"));
    EXPECT_TRUE(client.send("COMMAND", "1", "RAVLONDUMP"));
    std::vector<std::string> got;
    collector.receive(got);
    EXPECT_EQ(1u, got.size());
}

TEST_F(OtherAccountTest, HoldingTheWriterLockBlocksNoOtherAccount)
{
    MailSlot receiver(IPC_RECEIVER, name("receiver"));
    const std::string held = dir_.file("held");
    std::string command = account_->as(shellQuoted(dir_.file("bin/self")) + " " + Testing::CHILD_OPTION +
                                       "hold-lock " + MailSlot::WRITER_LOCK_NAME) +
                          " >" + shellQuoted(held) + " 2>&1 & echo $! >" + shellQuoted(dir_.file("holder.pid"));
    ASSERT_EQ(0, shell(command));
    Platform::ProcessId pid = std::atoll(slurp(dir_.file("holder.pid")).c_str());
    bool holding = waitFor([&] { return slurp(held) == "held\n"; });
    MailSlot sender(IPC_SENDER_LOCAL, name("receiver"));
    int sent = 0;
    for (int i = 0; holding && i < 5; ++i) {
        try {
            sent += sender.send("message " + std::to_string(i)) ? 1 : 0;
        } catch (const IPCException& e) {
            ADD_FAILURE() << e.fullText();
        }
    }
    Testing::killProcessHard(pid);
    ASSERT_TRUE(holding) << slurp(held);
    EXPECT_EQ(5, sent);
}

TEST_F(OtherAccountTest, SendsCommandsAndGetsReplies)
{
    IPCServerTiming timing;
    timing.pollMs = 20;
    timing.stopStepMs = 20;
    IPCServer server(name("server"), LogSink(),
                     [](const std::string&, const std::string& identifier, const std::string& payload,
                        const std::string& replyTo) {
                         IPCClient(replyTo).send("REPLY", identifier, "pong to " + payload);
                     },
                     timing);
    ASSERT_TRUE(waitFor([&] { return IPCClient(name("server")).sendRaw("warm-up"); }));
    std::string out;
    std::string err;
    EXPECT_EQ(0, runAs(shellQuoted(dir_.file("bin/ravlonctl")) + " send --to " + name("server") + " --wait 10 ping",
                       &out, &err))
        << err;
    EXPECT_EQ("pong to ping\n", out);
    server.stop();
}

} // namespace
