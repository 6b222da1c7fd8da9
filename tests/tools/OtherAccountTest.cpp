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
#include "platform/Installation.h"
#include "platform/Process.h"
#include "support/ChildMain.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TextSink.h"
#include "support/Waiting.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

// Child, started as root: opens the slot, then becomes uid/gid and sends
// the message through the socket it opened before. Prints its pid.
int sendAfterDroppingRights(const std::vector<std::string>& args)
{
    if (args.size() != 4)
        return 2;
    MailSlot sender(IPC_SENDER_LOCAL, args[0]);
    sender.send("Telvar\x1b" "COMMAND\x1b" "1\x1b" "warm-up\x1b");
    uid_t uid = static_cast<uid_t>(std::stoul(args[1]));
    gid_t gid = static_cast<gid_t>(std::stoul(args[2]));
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
        return 3;
    std::printf("%d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    try {
        return sender.send(args[3]) ? 0 : 4;
    } catch (const IPCException&) {
        return 5;
    }
}

const Testing::ChildRegistrar dropper("send-after-dropping-rights", sendAfterDroppingRights);

// Child, run as an account without the system's runtime directory:
// creates a slot and prints where its names live, or why it could not.
int createPrivateSlot(const std::vector<std::string>&)
{
    try {
        MailSlot slot(IPC_RECEIVER, "probe");
        std::printf("%s\n", Platform::mailslotDirectory().c_str());
        return 0;
    } catch (const Exception& e) {
        std::printf("%s\n", e.fullText().c_str());
        return 1;
    }
}

const Testing::ChildRegistrar privateSlot("create-private-slot", createPrivateSlot);

int shell(const std::string& command) { return std::system(command.c_str()); }

// A throw-away local account (in group, when given), removed again with
// the object.
class Account {
public:
    explicit Account(const std::string& suffix, const std::string& group = "")
        : name_("tlvr" + std::to_string(Platform::currentProcessId()) + suffix)
    {
        std::string groups = group.empty() ? "" : " -G " + group;
        created_ = shell("useradd -M -N -r" + groups + " -s /usr/sbin/nologin " + name_ + " >/dev/null 2>&1") == 0;
    }
    ~Account()
    {
        if (created_)
            shell("userdel " + name_ + " >/dev/null 2>&1");
    }
    bool created() const { return created_; }
    const std::string& name() const { return name_; }
    uid_t uid() const
    {
        passwd* entry = ::getpwnam(name_.c_str());
        return entry != nullptr ? entry->pw_uid : 0;
    }
    // Runs command as this account, keeping the environment.
    std::string as(const std::string& command) const
    {
        return "setpriv --reuid=" + name_ + " --regid=nogroup --init-groups -- " + command;
    }

private:
    std::string name_;
    bool created_ = false;
};

// A throw-away group, made the installation's for this process.
class Group {
public:
    Group() : name_("tlvrg" + std::to_string(Platform::currentProcessId()))
    {
        created_ = shell("groupadd -r " + name_ + " >/dev/null 2>&1") == 0;
        if (created_)
            Platform::setInstallationGroup(name_);
    }
    ~Group()
    {
        Platform::setInstallationGroup(Platform::DEFAULT_INSTALLATION_GROUP);
        if (created_)
            shell("groupdel " + name_ + " >/dev/null 2>&1");
    }
    bool created() const { return created_; }
    const std::string& name() const { return name_; }

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
        group_.reset(new Group);
        account_.reset(new Account(""));
        member_.reset(new Account("m", group_->name()));
        if (!group_->created() || !account_->created() || !member_->created())
            GTEST_SKIP() << "could not create a group and two accounts";
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
        member_.reset();
        account_.reset();
        group_.reset();
    }

    // Runs a command as the other account; output to files in the temp dir.
    int runAs(const std::string& command, std::string* out = nullptr, std::string* err = nullptr,
              const Account* who = nullptr)
    {
        if (who == nullptr)
            who = account_.get();
        std::string o = dir_.file("out");
        std::string e = dir_.file("err");
        int rc = shell(who->as(command) + " >" + shellQuoted(o) + " 2>" + shellQuoted(e));
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
    std::unique_ptr<Group> group_;
    std::unique_ptr<Account> account_;  // not in the installation's group
    std::unique_ptr<Account> member_;   // in it
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

// A runtime directory another account made in a place everyone may write
// (so that its listener would get root's commands) is refused by root.
TEST_F(OtherAccountTest, RootRefusesARuntimeDirectoryAnotherAccountMade)
{
    const std::string planted = "/tmp/tlvr-planted-" + std::to_string(Platform::currentProcessId());
    ASSERT_EQ(0, runAs("mkdir -m 0755 " + shellQuoted(planted)));
    Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", planted);
    EXPECT_THROW(MailSlot(IPC_RECEIVER, name("planted")), IPCException);
    EXPECT_FALSE(IPCClient(name("planted")).send("COMMAND", "1", "DIE"));
    fs::remove_all(planted);
}

// Only root, the own account and the installation's group command it; a
// stranger is refused whether it opens the slot itself or uses a socket
// opened before it gave up its rights, and is logged with its uid and pid.
TEST_F(OtherAccountTest, OnlyTheInstallationsPeopleAreHeardAndAnswered)
{
    IPCServerTiming timing;
    timing.pollMs = 20;
    timing.stopStepMs = 20;
    TextSink log;
    IPCServer server(name("server"), log.sink(),
                     [](const std::string&, const std::string& identifier, const std::string& payload,
                        const std::string& replyTo) {
                         if (!replyTo.empty())
                             IPCClient(replyTo).send("REPLY", identifier, "pong to " + payload);
                     },
                     timing);
    // The stranger takes the member's usual directory for reply slots first:
    // the member must still be answered.
    ASSERT_EQ(0, runAs("mkdir " + shellQuoted(dir_.file("run/users/" + std::to_string(member_->uid())))));
    const std::string bin = shellQuoted(dir_.file("bin/ravlonctl"));
    const std::string send = bin + " send --to " + name("server") + " --wait 5 ping";
    struct Row {
        const char* who;
        const Account* account;
        bool answered;
    } rows[] = {
        {"member of the group", member_.get(), true},
        {"stranger", account_.get(), false},
    };
    for (const Row& row : rows) {
        std::string out;
        std::string err;
        int rc = runAs(send, &out, &err, row.account);
        EXPECT_EQ(row.answered ? 0 : 1, rc) << row.who << ": " << err;
        EXPECT_EQ(row.answered ? "pong to ping\n" : "", out) << row.who;
    }

    // A socket opened by root, then used by the stranger.
    Testing::ChildProcess child;
    ASSERT_TRUE(child.start(Testing::selfExecutable(),
                            {std::string(Testing::CHILD_OPTION) + "send-after-dropping-rights",
                             name("server"), std::to_string(account_->uid()), std::to_string(::getgid()),
                             "Telvar\x1b" "COMMAND\x1b" "2\x1b" "DIE\x1b"}));
    std::vector<std::string> lines;
    ASSERT_TRUE(waitFor([&] {
        child.readLines(lines, 50);
        return !lines.empty();
    }));
    const std::string expected = "IPC: Server \"" + name("server") + "\": Refused a message from uid " +
                                 std::to_string(account_->uid()) + ", pid " + lines[0] + ":";
    EXPECT_TRUE(waitFor([&] {
        for (const std::string& text : log.texts())
            if (text.rfind(expected, 0) == 0)
                return true;
        return false;
    })) << expected;
    server.stop();
}

// An account without the system's runtime directory (hidden here by a
// private /run) keeps its names in $XDG_RUNTIME_DIR/telvar when that is its
// own private directory, else in ~/.telvar/run, made 0700 and checked: a
// fallback another account made first, or swapped for a link, is refused
// with its path, and nothing is made in it.
TEST_F(OtherAccountTest, PrivateRuntimeDirectoryIsTheAccountsOwnOrRefused)
{
    if (shell("unshare -m true") != 0)
        GTEST_SKIP() << "needs unshare";
    const std::string home = dir_.file("home");
    const std::string xdg = dir_.file("xdg");
    const std::string strange = dir_.file("strange");
    for (const std::string& d : {home, xdg, strange})
        fs::create_directories(d);
    ASSERT_EQ(0, ::chown(home.c_str(), account_->uid(), static_cast<gid_t>(-1)));
    ASSERT_EQ(0, ::chown(xdg.c_str(), account_->uid(), static_cast<gid_t>(-1)));
    ASSERT_EQ(0, ::chown(strange.c_str(), member_->uid(), static_cast<gid_t>(-1)));
    ::chmod(xdg.c_str(), 0700);
    ::chmod(strange.c_str(), 0700);
    ASSERT_EQ(0, shell("usermod -d " + shellQuoted(home) + " " + account_->name()));
    const std::string fallback = home + "/.telvar";
    struct Row {
        const char* what;
        std::string xdgDir;   // empty: no XDG_RUNTIME_DIR
        std::string plant;    // run by the other account first; empty: none
        std::string usedDir;  // empty: refused
    } rows[] = {
        {"own XDG runtime directory", xdg, "", xdg + "/telvar"},
        {"no XDG runtime directory", "", "", fallback + "/run"},
        {"XDG runtime directory of another account", strange, "", fallback + "/run"},
        {"fallback made by another account", "", "mkdir -m 0777 " + shellQuoted(fallback), ""},
        {"fallback a link to another account's directory", "", "ln -s " + shellQuoted(strange) + " " +
                                                                   shellQuoted(fallback), ""},
    };
    for (const Row& row : rows) {
        fs::remove_all(fallback);
        ::chmod(home.c_str(), row.plant.empty() ? 0755 : 0777);
        if (!row.plant.empty()) {
            ASSERT_EQ(0, runAs(row.plant, nullptr, nullptr, member_.get())) << row.what;
        }
        const std::string env = "env -u TELVAR_RUNTIME_DIR " +
                                (row.xdgDir.empty() ? "-u XDG_RUNTIME_DIR" : "XDG_RUNTIME_DIR=" + shellQuoted(row.xdgDir));
        const std::string child = account_->as(env + " " + shellQuoted(dir_.file("bin/self")) + " " +
                                               Testing::CHILD_OPTION + "create-private-slot");
        const std::string out = dir_.file("out");
        int rc = shell("unshare -m sh -c " + shellQuoted("mount -t tmpfs tmpfs /run && exec " + child) + " >" +
                       shellQuoted(out) + " 2>&1");
        const std::string said = slurp(out);
        if (!row.usedDir.empty()) {
            EXPECT_EQ(0, WEXITSTATUS(rc)) << row.what << ": " << said;
            EXPECT_EQ(row.usedDir + "\n", said) << row.what;
            struct stat st;
            ASSERT_EQ(0, ::lstat(row.usedDir.c_str(), &st)) << row.what;
            EXPECT_EQ(account_->uid(), st.st_uid) << row.what;
            EXPECT_EQ(0700u, st.st_mode & 07777) << row.what;
        } else {
            EXPECT_EQ(1, WEXITSTATUS(rc)) << row.what << ": " << said;
            EXPECT_NE(std::string::npos, said.find(" " + fallback + " (owner uid " +
                                                   std::to_string(member_->uid())))
                << row.what << ": " << said;
            EXPECT_FALSE(fs::exists(fallback + "/run")) << row.what;
        }
    }
    fs::remove_all(fallback);
}

} // namespace
