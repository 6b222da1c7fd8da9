#include "agent/DataDelivery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/Agent.h"
#include "agent/LogFile.h"
#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/ThreadInstance.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/ScopedTimeZone.h"
#include "support/TempDir.h"
#include "support/TestInstallation.h"

using namespace Telvar;

namespace {

// UTC moments; the tests run with TZ=UTC unless they set another zone.
int64_t at(int hour, int minute, int second, int day = 4)
{
    return DateTime(2011, 3, day, hour, minute, second).seconds();
}

// Threads still wait, and so see a quit request, but only a millisecond.
void shortSleep(int ms) { Clock::system().sleepMilliseconds(ms > 0 ? 1 : 0); }

std::string tid() { return std::to_string(Platform::currentThreadId()); }

std::string textAt(int64_t seconds) { return DateTime(seconds).toText(false); }

std::string debugLine(int level, int64_t when, const std::string& text)
{
    return "debug-" + std::to_string(level) + "  " + textAt(when) + " (8.21)    " + tid() + ": " + text;
}

class TestAgent : public Agent {
public:
    void run() override {}
    bool configureCollector() override { return true; }
};

class DataDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock_ = at(10, 17, 43);
        time_.readWith([this] { return clock_.load(); });
        time_.sleepWith(shortSleep);
        previousLevel_ = debugLevel();
        setDebugLevel(5);
        previousGrace_ = Platform::setTerminateGraceMilliseconds(200);
        agent_.reset(new TestAgent());
        agent_->setLoggerCentre(MemorySink::makeCentre(sink_));
        delivery().clear();
        delivery().setLoggerUnit(agent_->agentUnit());
        delivery().setDefaultInterval(TimeSpan(DataDelivery::INITIAL_DEFAULT_SECONDS));
        sink_->clear();
    }

    void TearDown() override
    {
        agent_.reset();
        delivery().clear();
        delivery().setLoggerUnit(SmartPointer<LoggerUnit>());
        Platform::setTerminateGraceMilliseconds(previousGrace_);
        setDebugLevel(previousLevel_);
    }

    void setZone(const std::string& zone) { zone_.set(zone); }

    static DataDelivery& delivery() { return DataDelivery::instance(); }

    void add(const std::string& id, int32_t interval, bool onlyForced = false,
             std::function<void()> before = nullptr)
    {
        delivery().registerLogFile(dir_.file(id), id, TimeSpan(interval), onlyForced, std::move(before));
    }

    void write(const std::string& id, const std::string& text)
    {
        SmartPointer<LogFile> file = delivery().getLogFile(id);
        ASSERT_FALSE(file.isNull());
        ASSERT_TRUE(file->write(text));
        ASSERT_TRUE(file->endLine());
    }

    // Contents of the delivered files, in name order.
    std::vector<std::string> delivered() const
    {
        std::vector<std::string> names;
        for (const DirectoryEntry& e : listDirectory(dir_.path(), "*.data"))
            names.push_back(e.name);
        std::sort(names.begin(), names.end());
        std::vector<std::string> contents;
        for (const std::string& name : names)
            contents.push_back(dir_.read(name));
        return contents;
    }

    int64_t lastDelivered(const std::string& id) const
    {
        return delivery().entries().at(id).lastDelivered.seconds();
    }

    std::atomic<int64_t> clock_{0};
    Testing::ManualClock time_;
    Testing::TempDir dir_{"delivery"};
    SmartPointer<MemorySink> sink_;
    std::unique_ptr<TestAgent> agent_;

private:
    Testing::ScopedTimeZone zone_{"UTC"};
    int previousLevel_ = 0;
    uint32_t previousGrace_ = 0;
};

TEST_F(DataDeliveryTest, RegistrationKeepsTheFirstEntryAndLookupsLog)
{
    add("cpu", 900);
    SmartPointer<LogFile> first = delivery().getLogFile("cpu");
    delivery().registerLogFile(dir_.file("other"), "cpu", TimeSpan(60), true, nullptr);
    add("neg", -5);
    ASSERT_EQ(2u, delivery().entries().size());
    const LogFileEntry& entry = delivery().entries().at("cpu");
    EXPECT_EQ(900, entry.interval.seconds());
    EXPECT_FALSE(entry.deliverOnlyWhenForced);
    EXPECT_EQ(0, entry.lastDelivered.seconds());
    EXPECT_EQ(0, delivery().entries().at("neg").interval.seconds());
    // Shared, not copied; named but not created.
    EXPECT_EQ(first.get(), delivery().getLogFile("cpu").get());
    EXPECT_EQ(LogFile::baseOf(first->getName()), dir_.file("cpu"));
    EXPECT_TRUE(listDirectory(dir_.path(), "*.make").empty());
    EXPECT_TRUE(delivery().getLogFile("CPU").isNull());
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(5, t, "Getting log file for ID=cpu."), debugLine(5, t, "   Found log file."),
        debugLine(5, t, "Getting log file for ID=cpu."), debugLine(5, t, "   Found log file."),
        debugLine(5, t, "Getting log file for ID=CPU."), debugLine(5, t, " Log file not found."),
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(DataDeliveryTest, ReleaseDeliversTheFileAndUnknownIdentifiersAreHarmless)
{
    add("cpu", 900);
    write("cpu", "record 1");
    sink_->clear();
    EXPECT_TRUE(delivery().releaseLogFile("cpu"));
    EXPECT_FALSE(delivery().releaseLogFile("nope"));
    EXPECT_EQ(std::vector<std::string>({"record 1\n"}), delivered());
    // Nothing written since: the next release leaves no file.
    EXPECT_TRUE(delivery().releaseLogFile("cpu"));
    EXPECT_EQ(1u, delivered().size());
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(1, t, "Releasing log file for cpu..."), debugLine(1, t, "Log file released."),
        debugLine(1, t, "Releasing log file for nope..."), debugLine(1, t, " Log file not found."),
        debugLine(1, t, "Releasing log file for cpu..."), debugLine(1, t, "Log file released."),
    };
    EXPECT_EQ(expected, sink_->lines());
}

// A file that cannot be delivered moves on to a new name; the message must
// name the one that failed, whose working copy the operator looks for.
TEST_F(DataDeliveryTest, AFailedReleaseNamesTheFileThatFailed)
{
    add("cpu", 900);
    write("cpu", "record 1");
    const std::string failing = delivery().getLogFile("cpu")->getName();
    // The copy cannot be committed over a directory of that name.
#ifdef _WIN32
    GTEST_SKIP() << "an open data file's name cannot be taken by a directory on Windows";
#endif
    ASSERT_TRUE(removeFile(failing, true));
    ASSERT_TRUE(createDirectory(failing)) << failing;
    ASSERT_TRUE(Testing::TempDir::writeFile(failing + "/keep", "x"));
    sink_->clear();
    EXPECT_TRUE(delivery().releaseLogFile("cpu"));
    const std::string next = delivery().getLogFile("cpu")->getName();
    ASSERT_NE(failing, next);
    std::string errors;
    for (const std::string& line : sink_->lines())
        if (line.find("(8.21.13)") != std::string::npos)
            errors += line + "\n";
    EXPECT_NE(std::string::npos, errors.find(failing)) << errors;
    EXPECT_EQ(std::string::npos, errors.find(next)) << errors;
}

TEST_F(DataDeliveryTest, DeliverAllGoesInIdentifierOrderAndSkipsForcedOnlyUnlessForced)
{
    std::vector<std::string> calls;
    add("b", 60, false, [&] { calls.push_back("b"); });
    add("a", 60, true, [&] { calls.push_back("a"); });
    add("c", 60, false, [&] {
        calls.push_back("c");
        throw std::runtime_error("callback failed");
    });
    add("d", 60, false, nullptr);
    for (const char* id : {"a", "b", "c", "d"})
        write(id, id);
    sink_->clear();

    delivery().deliverAll(false);
    EXPECT_EQ(std::vector<std::string>({"b", "c"}), calls);
    // The failing callback kept neither its own file nor the next from delivery.
    std::vector<std::string> contents = delivered();
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(std::vector<std::string>({"b\n", "c\n", "d\n"}), contents);
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(1, t, "Now delivering all data..."),
        debugLine(1, t, "Releasing log file for b..."), debugLine(1, t, "Log file released."),
        debugLine(1, t, "ERROR before delivering c."),
        debugLine(1, t, "Releasing log file for c..."), debugLine(1, t, "Log file released."),
        debugLine(1, t, "Releasing log file for d..."), debugLine(1, t, "Log file released."),
    };
    EXPECT_EQ(expected, sink_->lines());

    calls.clear();
    delivery().deliverAll(true);
    EXPECT_EQ(std::vector<std::string>({"a", "b", "c"}), calls);
    contents = delivered();
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(std::vector<std::string>({"a\n", "b\n", "c\n", "d\n"}), contents);
}

TEST_F(DataDeliveryTest, FirstTickStartsThePeriodAndTheBoundaryDelivers)
{
    int calls = 0;
    add("cpu", 900, false, [&] { ++calls; });
    write("cpu", "r1");
    delivery().tick(DateTime(at(10, 17, 43)));
    EXPECT_EQ(at(10, 15, 0), lastDelivered("cpu"));
    delivery().tick(DateTime(at(10, 29, 59)));
    EXPECT_EQ(0, calls);
    EXPECT_TRUE(delivered().empty());
    sink_->clear();
    delivery().tick(DateTime(at(10, 30, 0)));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(at(10, 30, 0), lastDelivered("cpu"));
    EXPECT_EQ(std::vector<std::string>({"r1\n"}), delivered());
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(1, t, "Releasing log file for cpu..."), debugLine(1, t, "Log file released."),
    };
    EXPECT_EQ(expected, sink_->lines());
    delivery().tick(DateTime(at(10, 44, 59)));
    EXPECT_EQ(1, calls);
}

TEST_F(DataDeliveryTest, AfterASuspendOneDeliveryIsMadeAndThePeriodRestarts)
{
    int calls = 0;
    add("cpu", 900, false, [&] { ++calls; });
    delivery().tick(DateTime(at(10, 17, 43)));
    delivery().tick(DateTime(at(10, 20, 0)));
    sink_->clear();
    delivery().tick(DateTime(at(14, 5, 0)));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(at(14, 0, 0), lastDelivered("cpu"));
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(5, t, "Adjusted LastDelivered time of cpu after resuming."),
        debugLine(1, t, "Releasing log file for cpu..."), debugLine(1, t, "Log file released."),
    };
    EXPECT_EQ(expected, sink_->lines());
    delivery().tick(DateTime(at(14, 10, 0)));
    EXPECT_EQ(1, calls);
    delivery().tick(DateTime(at(14, 15, 0)));
    EXPECT_EQ(2, calls);
    EXPECT_EQ(at(14, 15, 0), lastDelivered("cpu"));
}

TEST_F(DataDeliveryTest, AClockSetBackRestartsThePeriodInsteadOfStalling)
{
    int calls = 0;
    add("cpu", 900, false, [&] { ++calls; });
    delivery().tick(DateTime(at(10, 17, 43)));
    delivery().tick(DateTime(at(9, 0, 5)));
    EXPECT_EQ(0, calls);
    EXPECT_EQ(at(9, 0, 0), lastDelivered("cpu"));
    delivery().tick(DateTime(at(9, 15, 0)));
    EXPECT_EQ(1, calls);
}

TEST_F(DataDeliveryTest, BoundariesFollowTheLocalClock)
{
    // Local time is UTC+5:30: full local hours fall on UTC half hours.
    setZone("XST-5:30");
    int calls = 0;
    add("cpu", 3600, false, [&] { ++calls; });
    delivery().tick(DateTime(at(10, 5, 0)));
    EXPECT_EQ(at(9, 30, 0), lastDelivered("cpu"));
    delivery().tick(DateTime(at(10, 29, 59)));
    EXPECT_EQ(0, calls);
    delivery().tick(DateTime(at(10, 30, 0)));
    EXPECT_EQ(1, calls);
}

TEST_F(DataDeliveryTest, DefaultIntervalRejectsSpansBelowOneSecond)
{
    EXPECT_TRUE(delivery().setDefaultInterval(TimeSpan(900)));
    EXPECT_FALSE(delivery().setDefaultInterval(TimeSpan(0)));
    EXPECT_FALSE(delivery().setDefaultInterval(TimeSpan(-60)));
    EXPECT_EQ(900, delivery().defaultInterval().seconds());
}

// Runs the routine on the test thread: each sleep moves the clock (whole
// seconds) on by its length, and the step function may change things after
// each sleep.
class DeliveryRun {
public:
    DeliveryRun(Testing::ManualClock& time, std::atomic<int64_t>& clock,
                std::function<void(int pass, int64_t now)> step)
        : time_(time), clock_(clock), step_(std::move(step))
    {
        time_.sleepWith([this](int ms) {
            const int64_t before = sleptMs_ / 1000;
            sleptMs_ += ms;
            clock_ += sleptMs_ / 1000 - before;
            step_(++passes, clock_.load());
        });
    }
    ~DeliveryRun() { time_.sleepWith(shortSleep); }
    int passes = 0;

private:
    Testing::ManualClock& time_;
    std::atomic<int64_t>& clock_;
    std::function<void(int, int64_t)> step_;
    int64_t sleptMs_ = 0;
};

TEST_F(DataDeliveryTest, ThreadDeliversOnTheTickAtTheBoundaryWithTheDefaultInterval)
{
    ASSERT_TRUE(delivery().prepareDataDelivery(*agent_));
    ThreadRecord& record = agent_->threads().back();
    delivery().setDefaultInterval(TimeSpan(900));
    std::vector<int64_t> deliveredAt;
    add("cpu", 0, false, [&] { deliveredAt.push_back(clock_.load()); });
    add("mem", 600);
    write("cpu", "r1");
    write("mem", "m1");
    clock_ = at(10, 29, 50);
    sink_->clear();
    bool answered = false;
    DeliveryRun run(time_, clock_, [&](int pass, int64_t now) {
        if (pass == 2)
            delivery().setDefaultInterval(TimeSpan(60));  // too late for this run
        // The supervisor's request and stop ring the sleeping thread.
        if (pass == 4) {
            record.state = STATE_ASKED;
            time_.wake(record.wakeup);
        }
        if (pass == 5)
            answered = record.state.load() == STATE_ALIVE;
        if (now == at(10, 30, 5)) {
            record.state = STATE_QUIT;
            time_.wake(record.wakeup);
        }
    });
    EXPECT_EQ(0, delivery().runDeliveryThread(record));
    EXPECT_TRUE(answered);
    EXPECT_EQ(std::vector<int64_t>({at(10, 30, 0)}), deliveredAt);
    EXPECT_EQ(900, delivery().entries().at("cpu").interval.seconds());
    EXPECT_EQ(at(10, 30, 0), lastDelivered("cpu"));
    EXPECT_EQ(at(10, 30, 0), lastDelivered("mem"));
    std::vector<std::string> contents = delivered();
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(std::vector<std::string>({"m1\n", "r1\n"}), contents);

    int64_t start = at(10, 29, 50);
    int64_t boundary = at(10, 30, 0);
    int64_t end = at(10, 30, 5);
    std::vector<std::string> expected = {
        debugLine(1, start, "START THREAD DataDelivery (" + tid() + ")."),
        debugLine(5, start, "THREAD DataDelivery is running as normal."),
        debugLine(1, boundary, "Releasing log file for cpu..."),
        debugLine(1, boundary, "Log file released."),
        debugLine(1, boundary, "Releasing log file for mem..."),
        debugLine(1, boundary, "Log file released."),
        debugLine(1, end, "END THREAD DataDelivery"),
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(DataDeliveryTest, ThreadMakesOneDeliveryAfterASuspendAndEndsOnTheQuitFlag)
{
    ASSERT_TRUE(delivery().prepareDataDelivery(*agent_));
    ThreadRecord& record = agent_->threads().back();
    int calls = 0;
    add("cpu", 900, false, [&] { ++calls; });
    clock_ = at(10, 19, 58);
    DeliveryRun run(time_, clock_, [&](int pass, int64_t now) {
        if (pass == 10)
            clock_ = at(14, 5, 0);  // woke from a suspend
        if (pass > 10 && now >= at(14, 5, 20))
            agent_->requestQuit();
    });
    EXPECT_EQ(0, delivery().runDeliveryThread(record));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(at(14, 0, 0), lastDelivered("cpu"));
    EXPECT_TRUE(sink_->contains("Adjusted LastDelivered time of cpu after resuming."));
}

TEST_F(DataDeliveryTest, AFailureInTheLoopEndsTheThread)
{
    ASSERT_TRUE(delivery().prepareDataDelivery(*agent_));
    ThreadRecord& record = agent_->threads().back();
    // The first read stamps the start line; the loop's first read breaks.
    auto reads = std::make_shared<std::atomic<int>>(0);
    time_.readWith([this, reads]() -> int64_t {
        if (++*reads == 2)
            throw std::runtime_error("clock broken");
        return clock_.load();
    });
    sink_->clear();
    EXPECT_EQ(0, delivery().runDeliveryThread(record));
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(1, t, "START THREAD DataDelivery (" + tid() + ")."),
        debugLine(1, t, "ERROR while running DataDelivery thread"),
        debugLine(1, t, "END THREAD DataDelivery"),
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(DataDeliveryTest, PreparedThreadRunsUnderSupervisionAndStopsWhenTold)
{
    ASSERT_TRUE(delivery().prepareDataDelivery(*agent_));
    ASSERT_EQ(1u, agent_->threads().size());
    ThreadRecord& record = agent_->threads().back();
    EXPECT_EQ("DataDelivery", record.name);
    EXPECT_EQ(0x02, record.flags);
    EXPECT_EQ(STATE_NONE, record.state.load());
    ASSERT_FALSE(record.thread.isNull());
    int64_t t = clock_;
    std::vector<std::string> expected = {
        debugLine(2, t, "Preparing data delivery thread..."),
        debugLine(3, t, "   Done."),
    };
    EXPECT_EQ(expected, sink_->lines());

    // Delivery sleeps take a millisecond a look, the agent's pause before
    // it verifies the threads 50.
    time_.sleepWith([](int ms) {
        ms = ms == static_cast<int>(Agent::STOP_GRACE_MS) ? 50 : 1;
        Platform::threadSleep(static_cast<uint32_t>(ms));
    });
    ASSERT_TRUE(agent_->startThreads());
    record.state = STATE_ASKED;
    time_.wake(record.wakeup);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (record.state.load() != STATE_ALIVE && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(STATE_ALIVE, record.state.load());
    EXPECT_TRUE(agent_->stopAndVerifyThreads());
    int32_t code = -1;
    record.thread->exitCode(code);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(sink_->contains("END THREAD DataDelivery"));
}

TEST_F(DataDeliveryTest, TheAgentEndsTheFilesWhenItGoes)
{
    add("cpu", 900);
    write("cpu", "last record");
    agent_.reset();
    EXPECT_TRUE(delivery().entries().empty());
    EXPECT_EQ(std::vector<std::string>({"last record\n"}), delivered());
}

TEST_F(DataDeliveryTest, RestartClearsTheRegistryBeforeConfiguringAgain)
{
    // A restart runs the whole start-up sequence, which needs an installation.
    Testing::TestInstallation install;
    ASSERT_TRUE(install.writeConfiguration(install.agentKeys("")));
    agent_->setProgramName("Ravlon");
    agent_->setInstanceLockName(Testing::TestInstallation::uniqueName("AgentRestart"));
    add("cpu", 900);
    write("cpu", "before restart");
    EXPECT_TRUE(agent_->restart());
    EXPECT_TRUE(delivery().entries().empty());
    EXPECT_EQ(std::vector<std::string>({"before restart\n"}), delivered());
}

} // namespace
