#include "logger/LoggerAgentFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/Monopoly.h"
#include "common/Resources.h"
#include "common/TimeSpan.h"
#include "logger/LogMessenger.h"
#include "logger/LogSettings.h"
#include "platform/Process.h"
#include "support/FileSizeLimit.h"
#include "support/ScopedTimeZone.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;
namespace fs = std::filesystem;

namespace {

std::atomic<int64_t> g_now{0};

// Seconds of a local time in the fixture's zone (five hours behind UTC).
int64_t local(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second)
{
    DateTime d(int64_t(0));
    d.setLocal(year, month, day, hour, minute, second);
    return d.seconds();
}

std::string localText(int64_t seconds) { return DateTime(seconds).toText(false); }
std::string compactLocal(int64_t seconds) { return DateTime(seconds).toText(false, true); }

std::string banner(const std::string& name, int64_t at)
{
    return "\r\nTelvar VERSION(6.1.0.0) REVISION(5069)\r\nOpened log file \"" + name +
           "\". Time: " + localText(at) + "\r\n\r\n";
}

std::string closing(const std::string& name, int64_t at, const std::string& reason)
{
    return "\r\nClosing log file \"" + name + "\". Time: " + localText(at) + ". Reason: " + reason +
           ".\r\n\r\n";
}

std::string resource(const std::string& name)
{
    std::string text;
    return getResource(name, text) == RESOURCE_OK ? text : std::string("<absent>");
}

class LoggerAgentFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", dir_.file("registry"));
        Platform::unsetEnvironmentVariable("TELVAR_ENV");
        g_now = local(2026, 3, 10, 10, 0, 0);
        clock_.readWith([] { return g_now.load(); });
        clock_.sleepWith([this](int ms) {
            std::lock_guard<std::mutex> lock(sleepsMutex_);
            sleeps_.push_back(ms);
            std::this_thread::yield();
        });
        setRotationScheme(ROTATE_NONE);
        setRotationInterval(TimeSpan(0));
        setInitRotationPending(true);
        setLogFlushPeriod(1);
        setLogApplicationName("ravlon");
        ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogCounter", "0"));
        path_ = dir_.file("x.log");
    }
    void TearDown() override
    {
        setRotationScheme(ROTATE_NONE);
        setRotationInterval(TimeSpan(0));
        setRotationSize(10);
        setInitRotationPending(true);
        setLogApplicationName("core");
        Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
    }

    std::string rotatedPath(int64_t openedAt, int counter) const
    {
        return dir_.file("x_" + compactLocal(openedAt) + "_" + std::to_string(counter) + ".log");
    }

    // The rotation lines the old file ends with.
    std::string rotationTail(const std::string& condition, const std::string& to) const
    {
        return condition + "\r\n\nRotation process started...\r\nRenaming file from \"" + path_ +
               "\" to \"" + to + "\".\r\n" + closing("x.log", g_now, "Rotating log file");
    }

    Telvar::Testing::ManualClock clock_;
    TempDir dir_{"logfile"};
    std::string path_;
    std::mutex sleepsMutex_;
    std::vector<int> sleeps_;
    Testing::ScopedTimeZone zone_{"EST5"};
};

} // namespace

TEST_F(LoggerAgentFileTest, NewFileGetsBannersAndStoresItsOpenTime)
{
    const int64_t opened = g_now;
    {
        LoggerAgentFile sink;
        EXPECT_FALSE(sink.write("before any file"));
        ASSERT_TRUE(sink.setLogFile(path_));
        EXPECT_EQ("file:///" + path_, sink.location());
        EXPECT_EQ("x.log", sink.lockName());
        EXPECT_FALSE(fs::exists(path_));
        EXPECT_TRUE(sink.write("one"));
        g_now += 5;
        EXPECT_TRUE(sink.write("two"));
        EXPECT_EQ(opened, sink.openTime().seconds());
        EXPECT_EQ(banner("x.log", opened) + "one\r\ntwo\r\n", TempDir::readFile(path_));
        g_now += 5;
    }
    EXPECT_EQ(banner("x.log", opened) + "one\r\ntwo\r\n" + closing("x.log", opened + 10, "Quitting Logger Agent"),
              TempDir::readFile(path_));
    EXPECT_EQ("20260310T150000Z", resource("ravlonLogOpened"));
    // A new file needs no start-up rotation.
    EXPECT_FALSE(initRotationPending());
}

TEST_F(LoggerAgentFileTest, ExistingFileIsAppendedToAndKeepsItsStoredOpenTime)
{
    ASSERT_TRUE(dir_.write("x.log", "old\r\n"));
    ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogOpened", "20260301T120000Z"));
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    ASSERT_TRUE(sink.write("new"));
    EXPECT_EQ("old\r\n" + banner("x.log", g_now) + "new\r\n", TempDir::readFile(path_));
    EXPECT_EQ(DateTime(2026, 3, 1, 12, 0, 0).seconds(), sink.openTime().seconds());
    EXPECT_EQ("20260301T120000Z", resource("ravlonLogOpened"));
}

TEST_F(LoggerAgentFileTest, MovingToAnotherFileClosesTheOldOneAndNamesItInTheNewOne)
{
    const std::string other = dir_.file("y.log");
    const int64_t opened = g_now;
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    ASSERT_TRUE(sink.write("first"));
    g_now += 60;
    EXPECT_TRUE(sink.setLogFile(path_));  // same file: nothing happens
    ASSERT_TRUE(sink.setLogFile(other));
    EXPECT_EQ("y.log", sink.lockName());
    ASSERT_TRUE(sink.write("second"));
    EXPECT_EQ(banner("x.log", opened) + "first\r\n" +
                  closing("x.log", g_now, "Log file moved to \"" + other + "\"."),
              TempDir::readFile(path_));
    EXPECT_EQ(banner("y.log", g_now) + "Log continued from \"" + path_ + "\".\r\n\r\nsecond\r\n",
              TempDir::readFile(other));
    EXPECT_FALSE(sink.setLogFile(""));
    EXPECT_EQ(other, sink.logFile());
}

TEST_F(LoggerAgentFileTest, SizeRotationAtTenMegabytesExactly)
{
    setRotationScheme(ROTATE_SIZE);
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    const int64_t opened = g_now;
    ASSERT_TRUE(sink.write("a"));
    fs::resize_file(path_, 10485759);
    ASSERT_TRUE(sink.write("b"));  // 10,485,759 bytes: below the limit
    EXPECT_EQ(10485762u, fs::file_size(path_));
    g_now += 30;
    ASSERT_TRUE(sink.write("c"));

    const std::string rotated = rotatedPath(opened, 0);
    const std::string old = TempDir::readFile(rotated);
    ASSERT_GT(old.size(), 10485759u);
    EXPECT_EQ(banner("x.log", opened) + "a\r\n", old.substr(0, banner("x.log", opened).size() + 3));
    EXPECT_EQ("b\r\n" + rotationTail("\nRotate condition: Size10 >= 10", rotated), old.substr(10485759));
    EXPECT_EQ("Log continued from \"" + fs::path(rotated).filename().string() + "\".\r\nc\r\n",
              TempDir::readFile(path_));
    EXPECT_EQ("1", resource("ravlonLogCounter"));
    EXPECT_EQ(DateTime(g_now.load()).toText(true, true), resource("ravlonLogOpened"));
    EXPECT_EQ(g_now.load(), sink.openTime().seconds());
}

TEST_F(LoggerAgentFileTest, FailedRenameKeepsTheFileAndRaisesTheThresholdByAQuarter)
{
    // The rotated name of this file is too long for the file system.
    const std::string stem(240, 'n');
    path_ = dir_.file(stem + ".log");
    setRotationScheme(ROTATE_SIZE);
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    const int64_t opened = g_now;
    ASSERT_TRUE(sink.write("a"));
    fs::resize_file(path_, 10485760);
    ASSERT_TRUE(sink.write("b"));
    const uint32_t error = lastFileError();
    EXPECT_NE(0u, error);
    EXPECT_FLOAT_EQ(1.25f, sink.sizeFactor());
    const std::string tooLong = dir_.file(stem + "_" + compactLocal(opened) + "_0.log");
    EXPECT_EQ("\nRotate condition: Size10 >= 10\r\n\nRotation process started...\r\nRenaming file from \"" + path_ +
                  "\" to \"" + tooLong + "\".\r\n" + closing(stem + ".log", g_now, "Rotating log file") +
                  "Log file rotation error. (" + std::to_string(error) + ")\r\nb\r\n",
              TempDir::readFile(path_).substr(10485760));

    // 12.5 MB now: twelve whole megabytes are not enough, thirteen are.
    fs::resize_file(path_, 13107199);
    ASSERT_TRUE(sink.write("c"));
    EXPECT_EQ("c\r\n", TempDir::readFile(path_).substr(13107199));
    fs::resize_file(path_, 13631488);
    ASSERT_TRUE(sink.write("d"));
    EXPECT_EQ("\nRotate condition: Size13 >= 12.5\r\n",
              TempDir::readFile(path_).substr(13631488, 35));
    EXPECT_FLOAT_EQ(1.5f, sink.sizeFactor());
    EXPECT_EQ("2", resource("ravlonLogCounter"));
}

TEST_F(LoggerAgentFileTest, ZeroRotationSizeNeverRotates)
{
    setRotationScheme(ROTATE_SIZE);
    LoggerAgentFile sink;
    setRotationSize(0);
    ASSERT_TRUE(sink.setLogFile(path_));
    for (const char* line : {"a", "b", "c"})
        ASSERT_TRUE(sink.write(line));
    EXPECT_EQ(banner("x.log", g_now) + "a\r\nb\r\nc\r\n", TempDir::readFile(path_));
}

TEST_F(LoggerAgentFileTest, DailyRotationAtTheNextLocalMidnight)
{
    setRotationScheme(ROTATE_TIME);
    setRotationInterval(TimeSpan(86400));
    const int64_t opened = g_now;  // 10:00 local
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    ASSERT_TRUE(sink.write("a"));
    EXPECT_EQ(local(2026, 3, 11, 0, 0, 0), sink.nextRotation().seconds());
    g_now = local(2026, 3, 10, 23, 59, 59);
    ASSERT_TRUE(sink.write("b"));
    EXPECT_FALSE(fs::exists(rotatedPath(opened, 0)));
    g_now = local(2026, 3, 11, 0, 0, 0);
    ASSERT_TRUE(sink.write("c"));
    const std::string rotated = rotatedPath(opened, 0);
    EXPECT_EQ(banner("x.log", opened) + "a\r\nb\r\n" +
                  rotationTail("\nRotate condition(s): Time 2026-03-11T00:00:00 <= 2026-03-11T00:00:00", rotated),
              TempDir::readFile(rotated));
    EXPECT_EQ("Log continued from \"x_20260310T100000_0.log\".\r\nc\r\n", TempDir::readFile(path_));
    EXPECT_EQ(local(2026, 3, 12, 0, 0, 0), sink.nextRotation().seconds());
}

TEST_F(LoggerAgentFileTest, OldStoredOpenTimeDoesNotRotateAtStartButNamesTheRotatedFile)
{
    setRotationScheme(ROTATE_TIME);
    setRotationInterval(TimeSpan(86400));
    ASSERT_TRUE(dir_.write("x.log", "old\r\n"));
    const int64_t stored = local(2026, 3, 7, 10, 0, 0);
    ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogOpened", DateTime(stored).toText(true, true)));
    ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogCounter", "4"));
    g_now = local(2026, 3, 10, 12, 0, 0);
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    ASSERT_TRUE(sink.write("a"));
    ASSERT_TRUE(sink.write("b"));
    EXPECT_EQ("old\r\n" + banner("x.log", g_now) + "a\r\nb\r\n", TempDir::readFile(path_));
    EXPECT_EQ(local(2026, 3, 11, 0, 0, 0), sink.nextRotation().seconds());
    g_now = local(2026, 3, 11, 0, 0, 1);
    ASSERT_TRUE(sink.write("c"));
    EXPECT_TRUE(fs::exists(dir_.file("x_20260307T100000_4.log")));
    EXPECT_EQ("5", resource("ravlonLogCounter"));
}

TEST_F(LoggerAgentFileTest, TimeAndSizeRotateOnSizeNamingTheTimeWhenItIsDue)
{
    setRotationScheme(ROTATE_TIME | ROTATE_SIZE);
    setRotationInterval(TimeSpan(3600));
    LoggerAgentFile sink;
    setRotationSize(1);
    ASSERT_TRUE(sink.setLogFile(path_));
    const int64_t opened = g_now;
    ASSERT_TRUE(sink.write("a"));
    EXPECT_EQ(local(2026, 3, 10, 11, 0, 0), sink.nextRotation().seconds());
    g_now = local(2026, 3, 10, 11, 0, 0);
    ASSERT_TRUE(sink.write("b"));  // time is due, size is not
    EXPECT_EQ(banner("x.log", opened) + "a\r\nb\r\n", TempDir::readFile(path_));
    fs::resize_file(path_, 1048576);
    ASSERT_TRUE(sink.write("c"));
    const std::string first = rotatedPath(opened, 0);
    EXPECT_EQ(rotationTail("\nRotate condition(s): Time 2026-03-10T11:00:00 <= 2026-03-10T11:00:00 AND Size 1 >= 1",
                           first),
              TempDir::readFile(first).substr(1048576));
    const int64_t reopened = g_now;
    fs::resize_file(path_, 1048576);
    ASSERT_TRUE(sink.write("d"));
    const std::string second = rotatedPath(reopened, 1);
    EXPECT_EQ(rotationTail("\nRotate condition(s): Size 1 >= 1", second), TempDir::readFile(second).substr(1048576));
}

TEST_F(LoggerAgentFileTest, ArmedStartUpRotationHappensOnceAndOnlyForAnOpenFile)
{
    // The directory has a dot: the rotated name must stay in it.
    ASSERT_TRUE(dir_.makeDirectory("logs.d"));
    path_ = dir_.file("logs.d/ravlon");
    setRotationScheme(ROTATE_INIT);
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    const int64_t opened = g_now;
    ASSERT_TRUE(sink.write("a"));
    setInitRotationPending(true);  // what the configuration step does
    ASSERT_TRUE(sink.write("b"));
    const std::string rotated = dir_.file("logs.d/ravlon_" + compactLocal(opened) + "_0");
    EXPECT_EQ(banner("ravlon", opened) + "a\r\n\nRotate condition(s): Init\r\n\nRotation process started...\r\n" +
                  "Renaming file from \"" + path_ + "\" to \"" + rotated + "\".\r\n" +
                  closing("ravlon", g_now, "Rotating log file"),
              TempDir::readFile(rotated));
    ASSERT_TRUE(sink.write("c"));
    EXPECT_EQ("Log continued from \"ravlon_" + compactLocal(opened) + "_0\".\r\nb\r\nc\r\n", TempDir::readFile(path_));
    EXPECT_FALSE(initRotationPending());

    // Armed before the file is open: the first line opens it and the rotation lapses.
    const std::string other = dir_.file("other.log");
    LoggerAgentFile fresh;
    ASSERT_TRUE(TempDir::writeFile(other, "kept\r\n"));
    ASSERT_TRUE(fresh.setLogFile(other));
    setInitRotationPending(true);
    ASSERT_TRUE(fresh.write("x"));
    ASSERT_TRUE(fresh.write("y"));
    EXPECT_EQ("kept\r\n" + banner("other.log", g_now) + "x\r\ny\r\n", TempDir::readFile(other));
}

// "init,time" without an interval: the next rotation starts as the sink's
// creation, so the armed start-up rotation happens.
TEST_F(LoggerAgentFileTest, InitAndTimeWithoutIntervalRotatesAtStartUp)
{
    setRotationScheme(ROTATE_INIT | ROTATE_TIME);
    setRotationInterval(TimeSpan(0));
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    const int64_t opened = g_now;
    ASSERT_TRUE(sink.write("a"));
    setInitRotationPending(true);
    ASSERT_TRUE(sink.write("b"));
    const std::string rotated = rotatedPath(opened, 0);
    ASSERT_TRUE(fileExists(rotated));
    EXPECT_NE(std::string::npos, TempDir::readFile(rotated).find("\nRotate condition(s): Init AND Time "));
    EXPECT_FALSE(initRotationPending());
}

TEST_F(LoggerAgentFileTest, SchemeNoneNeverRotates)
{
    setRotationInterval(TimeSpan(60));
    LoggerAgentFile sink;
    setRotationSize(1);
    ASSERT_TRUE(sink.setLogFile(path_));
    const int64_t opened = g_now;
    ASSERT_TRUE(sink.write("a"));
    fs::resize_file(path_, 3 * 1048576);
    g_now += 7200;
    ASSERT_TRUE(sink.write("b"));
    EXPECT_EQ(std::vector<std::string>{"x.log"}, [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.path()))
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().string());
        return names;
    }());
    const std::string text = TempDir::readFile(path_);
    EXPECT_EQ(banner("x.log", opened) + "a\r\n", text.substr(0, banner("x.log", opened).size() + 3));
    EXPECT_EQ("b\r\n", text.substr(3 * 1048576));
}

TEST_F(LoggerAgentFileTest, LineIsDroppedWhileAnotherWriterHoldsTheFile)
{
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    Monopoly other("x.log");
    ASSERT_TRUE(other.enforce());
    EXPECT_FALSE(sink.write("lost"));
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(std::vector<int>(49, 40), sleeps_);
    ASSERT_TRUE(other.relax());
    ASSERT_TRUE(sink.write("kept"));
    EXPECT_EQ(banner("x.log", g_now) + "kept\r\n", TempDir::readFile(path_));
}

TEST_F(LoggerAgentFileTest, FileErrorLeavesTheSinkUsable)
{
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(dir_.file("missing/x.log")));
    EXPECT_THROW(sink.write("a"), FileException);
    EXPECT_EQ(LoggerAgentFile::STATE_IDLE, sink.state());

    // The messenger turns the error into false.
    LogMessenger messenger(dir_.file("missing/y.log"));
    EXPECT_FALSE(messenger.deliver(std::string("Telvar\x1C" "DEBUG\x1C" "8\x1C" "9\x1C" "0\x1C" "1\x1C"
                                               "text\x1C" "7\x1C")));

    // Locks were given back: another thread can write once the file can be made.
    ASSERT_TRUE(sink.setLogFile(path_));
    bool written = false;
    std::thread writer([&] { written = sink.write("b"); });
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(banner("x.log", g_now) + "b\r\n", TempDir::readFile(path_));
    EXPECT_TRUE(messenger.setLogFile(dir_.file("y.log")));
}

TEST_F(LoggerAgentFileTest, ConcurrentWritersLoseNoLineAcrossRotations)
{
    setRotationScheme(ROTATE_SIZE);
    LoggerAgentFile sink;
    setRotationSize(1);
    ASSERT_TRUE(sink.setLogFile(path_));
    const std::string padding(4000, 'p');
    constexpr int THREADS = 4;
    constexpr int LINES = 200;
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < THREADS; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < LINES; ++i)
                if (!sink.write("line " + std::to_string(t) + "." + std::to_string(i) + " " + padding))
                    ++failures;
        });
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(0, failures.load());

    std::multiset<std::string> seen;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
        if (!entry.is_regular_file())
            continue;
        ++files;
        std::istringstream in(TempDir::readFile(entry.path().string()));
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("line ", 0) == 0)
                seen.insert(line);
    }
    EXPECT_GE(files, 3);
    ASSERT_EQ(size_t(THREADS * LINES), seen.size());
    for (int t = 0; t < THREADS; ++t)
        for (int i = 0; i < LINES; ++i)
            EXPECT_EQ(1u, seen.count("line " + std::to_string(t) + "." + std::to_string(i) + " " + padding + "\r"));
}

TEST_F(LoggerAgentFileTest, RotationNeverReplacesAnOlderRotatedFile)
{
    setRotationScheme(ROTATE_INIT);
    ASSERT_TRUE(dir_.write("x.log", "log\r\n"));
    const int64_t opened = local(2026, 3, 9, 8, 0, 0);
    ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogOpened", DateTime(opened).toText(true, true)));
    // The counter was reset, but the rotation of that day is still there.
    ASSERT_TRUE(TempDir::writeFile(rotatedPath(opened, 0), "older"));
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    ASSERT_TRUE(sink.write("a"));
    setInitRotationPending(true);
    ASSERT_TRUE(sink.write("b"));
    EXPECT_EQ("older", TempDir::readFile(rotatedPath(opened, 0)));
    EXPECT_EQ("log\r\n" + banner("x.log", g_now) + "a\r\n" + rotationTail("\nRotate condition(s): Init", rotatedPath(opened, 1)),
              TempDir::readFile(rotatedPath(opened, 1)));
    EXPECT_EQ("2", resource("ravlonLogCounter"));
}

// The stored counter goes through the usual leading-digits conversion, and an
// absurd one stays small enough that the next value fits a 32-bit long.
TEST_F(LoggerAgentFileTest, AStoredCounterIsReadByItsLeadingDigitsAndKeptInRange)
{
    setRotationScheme(ROTATE_INIT);
    const int64_t opened = local(2026, 3, 9, 8, 0, 0);
    const struct {
        const char* stored;
        int used;
        const char* next;
    } cases[] = {{" +7 rotations", 7, "8"}, {"99999999999", 2000000000, "2000000001"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_TRUE(dir_.write("x.log", "log\r\n"));
        ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogOpened", DateTime(opened).toText(true, true)));
        ASSERT_EQ(RESOURCE_OK, setResource("ravlonLogCounter", c.stored));
        LoggerAgentFile sink;
        ASSERT_TRUE(sink.setLogFile(path_));
        ASSERT_TRUE(sink.write("a"));
        setInitRotationPending(true);
        ASSERT_TRUE(sink.write("b"));
        EXPECT_TRUE(fs::exists(rotatedPath(opened, c.used)));
        EXPECT_EQ(c.next, resource("ravlonLogCounter"));
    }
}

// A full disk in the middle of a line: the line is not in the file, and
// the next one, once there is room again, does not continue it.
TEST_F(LoggerAgentFileTest, ALineThatCannotBeWrittenWholeIsNotContinued)
{
    LoggerAgentFile sink;
    ASSERT_TRUE(sink.setLogFile(path_));
    ASSERT_TRUE(sink.write("one"));
    const std::string before = TempDir::readFile(path_);
    {
        Testing::FileSizeLimit full(before.size() + 100);
        bool failed = false;
        try {
            sink.write(std::string(20000, 'x'));
        } catch (const FileException&) {
            failed = true;
        }
        EXPECT_TRUE(failed);
    }
    ASSERT_TRUE(sink.write("two"));
    const std::string after = TempDir::readFile(path_);
    EXPECT_TRUE(after == before + "two\r\n") << after.size() << " bytes, " << before.size() << " before";
}
