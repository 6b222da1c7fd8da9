// The real collector on a temporary installation: records, commands,
// shutdown, and a crash followed by a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ConfCtlRun.h"
#include "common/IPC.h"
#include "common/MailSlot.h"
#include "platform/Process.h"
#include "ravlon/LeftoverRecovery.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

using ConfCtl::shellQuoted;
using ConfCtl::slurp;
using namespace Telvar;
namespace fs = std::filesystem;

using Telvar::Testing::waitFor;

namespace {

// Records come at :00 and :30 only, after up to 30 s of alignment.
constexpr int FIRST_RECORD_MS = 120000;

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A temporary installation: its own resource store, runtime directory,
// configuration (the one of etc/), working and log directories.
class Installation {
public:
    Installation() : dir_("ravlon-e2e")
    {
        root_ = dir_.path();
        env_ = "env -u TELVAR_ENV TELVAR_REGISTRY_ROOT=" + shellQuoted(root_ + "/registry") + " TELVAR_RUNTIME_DIR=" +
               shellQuoted(root_ + "/run") + " RAVLON_START_DELAY=0 RAVLON_SETTLE_DELAY=0 TZ=UTC";
        fs::create_directories(root_ + "/run");
        // Whatever the umask: the collector refuses a runtime directory others can write.
        fs::permissions(root_ + "/run", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
        // Installed as an operator would: cmake --install, then setup.
        const std::string install = shellQuoted(CMAKE_PATH) + " --install " + shellQuoted(BUILD_DIR) + " --prefix " +
                                    shellQuoted(root_) + " >" + shellQuoted(root_ + "/install.log") + " 2>&1";
        const bool installed = std::system(install.c_str()) == 0;
        EXPECT_TRUE(installed) << slurp(root_ + "/install.log");
        ConfCtl::Run r = ctl("setup --prefix " + shellQuoted(root_));
        EXPECT_EQ(0, r.exitCode) << r.err;
        ready_ = installed && r.exitCode == 0;
    }

    bool ready() const { return ready_; }
    const std::string& root() const { return root_; }
    const std::string& env() const { return env_; }
    ConfCtl::Run ctl(const std::string& args) const { return ConfCtl::ravlonctl(args, env_); }

    // Files below the installation whose names end in suffix.
    std::vector<std::string> files(const std::string& suffix) const
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (it->is_regular_file(ec) && endsWith(name, suffix))
                out.push_back(it->path().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    // Working copies that hold at least one whole record.
    std::vector<std::string> copiesWithRecords() const
    {
        std::vector<std::string> out;
        for (const std::string& path : files(".make.tmp")) {
            uint64_t length = 0;
            if (LeftoverRecovery::completeLength(path, length) && length > 0)
                out.push_back(path);
        }
        return out;
    }

private:
    Testing::TempDir dir_;
    std::string root_;
    std::string env_;
    bool ready_ = false;
};

// ravlon itself (exec'd by a shell that records its exit status).
class Collector {
public:
    explicit Collector(const Installation& installation) : dir_(installation.root() + "/proc-" + std::to_string(count_++))
    {
        fs::create_directories(dir_);
        const std::string inner = "echo $$ >" + shellQuoted(path("pid")) + "; exec " + installation.env() + " " +
                                  shellQuoted(installation.root() + "/bin/ravlon");
        const std::string cmd = "( sh -c " + shellQuoted(inner) + " >" + shellQuoted(path("out")) + " 2>" +
                                shellQuoted(path("err")) + " </dev/null; echo $? >" + shellQuoted(path("rc.tmp")) +
                                "; mv " + shellQuoted(path("rc.tmp")) + " " + shellQuoted(path("rc")) + " ) &";
        started_ = std::system(cmd.c_str()) == 0 && waitFor([this] { return !slurp(path("pid")).empty(); }, 10000);
        pid_ = started_ ? std::atoll(slurp(path("pid")).c_str()) : -1;
    }
    ~Collector()
    {
        if (started_ && !finished())
            signal("KILL");
        waitFor([this] { return finished(); }, 10000);
    }
    bool started() const { return started_; }
    long long pid() const { return pid_; }
    bool finished() const { return fs::exists(path("rc")); }
    int exitCode() const { return std::atoi(slurp(path("rc")).c_str()); }
    std::string err() const { return slurp(path("err")); }
    void signal(const std::string& name) const
    {
        EXPECT_EQ(0, std::system(("kill -" + name + " " + std::to_string(pid_)).c_str()));
    }

private:
    std::string path(const std::string& file) const { return dir_ + "/" + file; }

    static int count_;
    std::string dir_;
    bool started_ = false;
    long long pid_ = -1;
};
int Collector::count_ = 0;

// Both lines of every record of a file, against the record layout.
void expectRecords(const std::string& path)
{
    static const std::regex classification(
        "30:[0-9]+:(36|\\?\\?):0:[^:]*:0:[^:]*:0:[^:]*:0:[^:]*:0:(prime|non-prime|undef)(: : ){5}");
    static const std::regex measurement("1(:( |-?[0-9]+(\\.[0-9]+)?(e[-+][0-9]+)?))*");
    const std::string text = slurp(path);
    ASSERT_FALSE(text.empty()) << path;
    ASSERT_EQ('\n', text.back()) << path;
    size_t start = 0;
    int line = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const std::string one = text.substr(start, end - start);
        if (line % 2 == 0)
            EXPECT_TRUE(std::regex_match(one, classification)) << path << ": " << one;
        else
            EXPECT_TRUE(std::regex_match(one, measurement)) << path << ": " << one;
        ++line;
        start = end + 1;
    }
    EXPECT_EQ(0, line % 2) << path;
}

std::string nameOf(const std::string& path) { return fs::path(path).filename().string(); }

// Another collector on this host holding the single-instance lock (named
// locks are machine-wide unless the runtime directory keeps them apart) is
// no fault of the one under test.
// What to show when the collector ended too early: its status, its stderr
// and the end of its log.
std::string why(const Installation& inst, const Collector& collector)
{
    std::string text = "exit " + std::to_string(collector.exitCode()) + "; stderr: " + collector.err();
    for (const std::string& log : inst.files("RavlonDebug.log")) {
        const std::string content = slurp(log);
        text += "\n--- " + log + " (end):\n" + content.substr(content.size() > 3000 ? content.size() - 3000 : 0);
    }
    return text;
}

// Record times (seconds) of one process's records, in its working copies
// and delivered files, of the scheme Ravlon, sorted.
std::vector<int64_t> recordTimes(const Installation& inst, long long pid)
{
    std::vector<int64_t> times;
    const std::string tag = "-" + std::to_string(pid) + "-";
    std::vector<std::string> paths = inst.files(".make.tmp");
    for (const std::string& path : inst.files(".data"))
        paths.push_back(path);
    for (const std::string& path : paths) {
        const std::string name = nameOf(path);
        // Files of this run of the scheme Ravlon: "RavlonLog-<time>-<pid>-<n>...".
        if (name.rfind("RavlonLog-", 0) != 0 || name.find(tag) == std::string::npos)
            continue;
        std::istringstream in(slurp(path));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("30:", 0) == 0)
                times.push_back(std::atoll(line.c_str() + 3));
    }
    std::sort(times.begin(), times.end());
    return times;
}

bool lockedOut(const Installation& inst)
{
    for (const std::string& log : inst.files("RavlonDebug.log"))
        if (slurp(log).find("(8.09.14)") != std::string::npos)
            return true;
    return false;
}

TEST(RavlonEndToEndTest, RecordsCommandsAndAStopWithEverythingDelivered)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    Collector ravlon(inst);
    ASSERT_TRUE(ravlon.started());

    // The first records of two schemes.
    ASSERT_TRUE(waitFor([&] { return inst.copiesWithRecords().size() >= 2 || ravlon.finished(); }, FIRST_RECORD_MS))
        << ravlon.err();
    if (ravlon.finished() && lockedOut(inst))
        GTEST_SKIP() << "another collector runs on this host";
    ASSERT_FALSE(ravlon.finished()) << why(inst, ravlon);
    for (const std::string& copy : inst.copiesWithRecords()) {
        uint64_t length = 0;
        ASSERT_TRUE(LeftoverRecovery::completeLength(copy, length));
        const std::string whole = slurp(copy).substr(0, length);
        Testing::TempDir check("ravlon-e2e-check");
        ASSERT_TRUE(check.write("records", whole));
        expectRecords(check.file("records"));
    }

    // Process information, with every field of the reply.
    const std::string back = "RavlonE2E_" + std::to_string(Platform::currentProcessId());
    ConfCtl::Run info = inst.ctl("send --id 42 --reply-to " + back + " --wait 20 SEND_PROCESS_INFO");
    ASSERT_EQ(0, info.exitCode) << info.err;
    ConfCtl::Run job = inst.ctl("resource get JOB_Ravlon");
    ASSERT_EQ(0, job.exitCode) << job.err;
    std::smatch m;
    const std::string jobText = job.out;
    ASSERT_TRUE(std::regex_match(jobText, m, std::regex("pid=([0-9]+);tid=([0-9]+)\n"))) << jobText;
    EXPECT_EQ(std::to_string(ravlon.pid()), m[1].str());
    // The configuring thread is the main thread, which also stored the resource.
    EXPECT_EQ(m[1].str() + "," + m[2].str() + "\n", info.out);

    // Every data file delivered now, named with the process id.
    ConfCtl::Run dump = inst.ctl("send --id 43 --wait 20 RAVLONDUMP");
    ASSERT_EQ(0, dump.exitCode) << dump.err;
    EXPECT_EQ("\n", dump.out);
    std::vector<std::string> data = inst.files(".data");
    ASSERT_GE(data.size(), 2u);
    for (const std::string& path : data) {
        EXPECT_NE(std::string::npos, nameOf(path).find("-" + std::to_string(ravlon.pid()) + "-")) << path;
        expectRecords(path);
    }

    // SIGHUP configures it again, on statusMonitor; commands still reach it.
    ravlon.signal("HUP");
    ASSERT_TRUE(waitFor(
        [&] {
            ConfCtl::Run again = inst.ctl("send --id 44 --wait 5 SEND_PROCESS_INFO");
            return again.exitCode == 0 && again.out != info.out && again.out.rfind(m[1].str() + ",", 0) == 0;
        },
        30000));

    // "DIE": gone within 3 s, status 0, nothing left undelivered.
    ASSERT_EQ(0, inst.ctl("send DIE").exitCode);
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return ravlon.finished(); }, 20000));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    EXPECT_LE(took.count(), 3000);
    std::printf("ravlon ended %lld ms after DIE\n", static_cast<long long>(took.count()));
    EXPECT_EQ(0, ravlon.exitCode()) << ravlon.err();
    EXPECT_TRUE(inst.files(".make").empty());
    EXPECT_TRUE(inst.files(".make.tmp").empty());
    EXPECT_TRUE(inst.files(".make.lock").empty());
    for (const std::string& path : inst.files(".data"))
        expectRecords(path);
}

TEST(RavlonEndToEndTest, RecordOfAKilledCollectorIsDeliveredByRecoveryAfterRestart)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    std::vector<std::string> copies;
    std::vector<std::string> contents;
    {
        Collector first(inst);
        ASSERT_TRUE(first.started());
        ASSERT_TRUE(waitFor([&] { return !inst.copiesWithRecords().empty() || first.finished(); }, FIRST_RECORD_MS))
            << first.err();
        if (first.finished() && lockedOut(inst))
            GTEST_SKIP() << "another collector runs on this host";
        ASSERT_FALSE(first.finished()) << why(inst, first);
        first.signal("KILL");
        ASSERT_TRUE(waitFor([&] { return first.finished(); }, 10000));
    }
    copies = inst.copiesWithRecords();
    ASSERT_FALSE(copies.empty());
    for (const std::string& copy : copies) {
        uint64_t length = 0;
        ASSERT_TRUE(LeftoverRecovery::completeLength(copy, length));
        contents.push_back(slurp(copy).substr(0, length));
    }

    Collector second(inst);
    ASSERT_TRUE(second.started());
    const std::string pidPart = "-" + std::to_string(second.pid()) + ".data";
    for (size_t i = 0; i < copies.size(); ++i) {
        // "<name without .make.tmp>-<time>-<new pid>.data", next to the copy.
        const std::string stem = copies[i].substr(0, copies[i].size() - 9) + "-";
        std::string found;
        ASSERT_TRUE(waitFor(
            [&] {
                for (const std::string& path : inst.files(pidPart)) {
                    if (path.size() <= stem.size() + pidPart.size() || path.compare(0, stem.size(), stem) != 0)
                        continue;
                    const std::string time = path.substr(stem.size(), path.size() - stem.size() - pidPart.size());
                    if (time.find_first_not_of("0123456789") == std::string::npos) {
                        found = path;
                        return true;
                    }
                }
                return false;
            },
            30000))
            << copies[i];
        EXPECT_EQ(contents[i], slurp(found));
        EXPECT_FALSE(fs::exists(copies[i]));
    }
    // A reload of a broken file keeps the running configuration and its
    // threads; the log and the status name the file, line and reason until
    // a reload works.
    const std::string conf = inst.root() + "/etc/ravlon/ravlon.conf";
    const std::string good = slurp(conf);
    ASSERT_TRUE(waitFor([&] { return !recordTimes(inst, second.pid()).empty(); }, FIRST_RECORD_MS));
    ASSERT_TRUE(Testing::TempDir::writeFile(conf, "# mended soon\nbroken(\n"));
    ASSERT_EQ(0, inst.ctl("send RECONFIG").exitCode);
    auto logText = [&] {
        std::string all;
        for (const std::string& log : inst.files("RavlonDebug.log"))
            all += slurp(log);
        return all;
    };
    ASSERT_TRUE(waitFor([&] { return logText().find("was not reloaded (" + conf + ":2: ") != std::string::npos; },
                        30000))
        << why(inst, second);
    EXPECT_NE(std::string::npos, inst.ctl("status").out.find("last reload FAILED at ")) << inst.ctl("status").out;
    // A working directory no one can make passes the check and fails only
    // once the threads are stopped: the configuration before is set up again.
    const size_t at = good.find("working-dir(DirName) = \"");
    ASSERT_NE(std::string::npos, at);
    const size_t end = good.find('"', at + 24);
    ASSERT_TRUE(Testing::TempDir::writeFile(conf, good.substr(0, at + 24) + "/proc/no-such-dir/" + good.substr(end)));
    ASSERT_EQ(0, inst.ctl("send RECONFIG").exitCode);
    ASSERT_TRUE(waitFor([&] { return logText().find("was not reloaded (" + conf + ": the configuration failed") !=
                                     std::string::npos; },
                        30000))
        << why(inst, second);
    // Still collecting: the next mark has its record.
    const size_t before = recordTimes(inst, second.pid()).size();
    ASSERT_TRUE(waitFor([&] { return recordTimes(inst, second.pid()).size() > before; }, 45000)) << why(inst, second);
    // Mended: RECONFIG and SIGHUP, away from the marks, then one more mark.
    ASSERT_TRUE(Testing::TempDir::writeFile(conf, good));
    ASSERT_EQ(0, inst.ctl("send RECONFIG").exitCode);
    ASSERT_TRUE(waitFor([&] { return inst.ctl("status").out.find("last reload: ok at ") != std::string::npos; }, 30000));
    second.signal("HUP");
    const size_t mended = recordTimes(inst, second.pid()).size();
    ASSERT_TRUE(waitFor([&] { return recordTimes(inst, second.pid()).size() > mended + 1; }, 75000));
    // Every mark from the first record of this run on has exactly one.
    const std::vector<int64_t> times = recordTimes(inst, second.pid());
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_EQ(times[i - 1] + 30, times[i]) << i;
    // No counter read before its query had two collections. A process
    // counter's instance comes and goes with other processes of its name on
    // this host (other tests run collectors too), so those do not count.
    std::istringstream lines(logText());
    for (std::string line; std::getline(lines, line);)
        if (line.find("PDH_INVALID_DATA)\", getting value for") != std::string::npos &&
            line.find("\\Process(") == std::string::npos)
            ADD_FAILURE() << line;

    // SIGTERM stops it as "DIE" does.
    second.signal("TERM");
    ASSERT_TRUE(waitFor([&] { return second.finished(); }, 20000));
    EXPECT_EQ(0, second.exitCode()) << second.err();
    EXPECT_TRUE(inst.files(".make").empty());
    EXPECT_TRUE(inst.files(".make.tmp").empty());
}

// Runs the installed ravlon in the foreground with extra environment.
ConfCtl::Run runRavlon(const Installation& inst, const std::string& env, const std::string& args)
{
    const std::string out = inst.root() + "/run.out";
    const std::string err = inst.root() + "/run.err";
    const std::string cmd = inst.env() + " " + env + " " + shellQuoted(inst.root() + "/bin/ravlon") + " " + args +
                            " >" + shellQuoted(out) + " 2>" + shellQuoted(err) + " </dev/null; echo $? >" +
                            shellQuoted(inst.root() + "/run.rc");
    ConfCtl::Run run;
    if (std::system(cmd.c_str()) == 0)
        run.exitCode = std::atoi(slurp(inst.root() + "/run.rc").c_str());
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

TEST(RavlonEndToEndTest, HelpComesBeforeAnyPauseAndBadPausesAreRefused)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    const auto start = std::chrono::steady_clock::now();
    ConfCtl::Run help = runRavlon(inst, "RAVLON_START_DELAY=600", "--help");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("RAVLON_SETTLE_DELAY"));
    ConfCtl::Run version = runRavlon(inst, "RAVLON_START_DELAY=600", "--version");
    EXPECT_EQ(0, version.exitCode);
    EXPECT_EQ(0u, version.out.rfind("ravlon ", 0));

    ConfCtl::Run bad = runRavlon(inst, "RAVLON_SETTLE_DELAY=5s", "");
    EXPECT_EQ(2, bad.exitCode);
    EXPECT_EQ("ravlon: RAVLON_SETTLE_DELAY=\"5s\" is not a number of whole seconds from 0 to 86400.\n", bad.err);
}

TEST(RavlonEndToEndTest, FailedConfigurationEndsWithStatus255AndOneLineWhy)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    ConfCtl::Run r = runRavlon(inst, "", "-c " + shellQuoted(inst.root() + "/no-such.conf"));
    EXPECT_EQ(255, r.exitCode);
    EXPECT_EQ(0u, r.err.rfind("ravlon: cannot start: " + inst.root() + "/no-such.conf: the configuration file cannot "
                              "be read: ",
                              0))
        << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    bool logged = false;
    for (const std::string& log : inst.files("RavlonDebug.log"))
        logged = logged || slurp(log).find("(8.09.30)") != std::string::npos;
    EXPECT_TRUE(logged);

    // A runtime directory others can write: refused on stderr, with its path
    // and why, before anything (not even the log) is set up in it.
    fs::permissions(inst.root() + "/run", fs::perms::others_write, fs::perm_options::add);
    r = runRavlon(inst, "", "");
    EXPECT_EQ(255, r.exitCode);
    EXPECT_EQ("ravlon: the runtime directory " + inst.root() + "/run cannot be trusted: writable by every account "
              "(exit status 255)\n",
              r.err);
}

// Deaf is no way to run: a command name another process holds ends the
// start at once, naming that process.
TEST(RavlonEndToEndTest, TakenCommandNameEndsTheStartWith255AndNamesItsHolder)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    const bool had = Platform::hasEnvironmentVariable("TELVAR_RUNTIME_DIR");
    const std::string old = Platform::environmentVariable("TELVAR_RUNTIME_DIR");
    Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", inst.root() + "/run");
    {
        MailSlot holder(IPC_RECEIVER, "Telvar_Ravlon");
        auto start = std::chrono::steady_clock::now();
        ConfCtl::Run r = runRavlon(inst, "", "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(255, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos,
                  r.err.find("the name Telvar_Ravlon is in use by PID " + std::to_string(Platform::currentProcessId())))
            << r.err;
    }
    if (had)
        Platform::setEnvironmentVariable("TELVAR_RUNTIME_DIR", old);
    else
        Platform::unsetEnvironmentVariable("TELVAR_RUNTIME_DIR");
}

} // namespace
