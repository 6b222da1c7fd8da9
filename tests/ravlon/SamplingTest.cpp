// The sampling threads and the measurement records. Most tests run the real
// poller and writer threads through several simulated minutes (VirtualTime)
// against the scripted provider, whose values here follow the clock: a
// sample taken at second s of a minute reads s + 1 (percent counters) or
// 10 * (s + 1) (plain counters), so every average can be worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/Agent.h"
#include "agent/DataDelivery.h"
#include "agent/LogFile.h"
#include "common/DateTime.h"
#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "platform/CollectorStatistics.h"
#include "ravlon/Counter.h"
#include "ravlon/Sampling.h"
#include "support/FakePerfData.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/TempDir.h"
#include "support/VirtualTime.h"
#include "support/Waiting.h"

using namespace Telvar;
using namespace Telvar::Platform;
using Telvar::Test::FakePerfData;
using Telvar::Test::VirtualTime;
using Telvar::Testing::TempDir;

namespace {

const std::string BUSY = "\\Processor(_Total)\\% Processor Time";
const std::string IDLE = "\\Processor(_Total)\\% Idle Time";
const std::string QUEUE = "\\System\\Processor Queue Length";
const std::string GONE = "\\Nothing\\Registered";
const std::string PADS = ": : : : : : : : : : ";

// 2026-12-08 10:00:07 UTC.
const int64_t START = 1796724007;
const int64_t MINUTE_10_01 = 1796724060;

class TestAgent : public Agent {
public:
    void run() override {}
    bool configureCollector() override { return true; }
    void dropThreads() { clearThreads(); }
};

// Values that follow the simulated clock, and collections that can fail.
class ClockedPerfData : public FakePerfData {
public:
    PdhStatus collectQueryData(PdhHandle query) override
    {
        FakePerfData::collectQueryData(query);
        return collectStatus;
    }
    PdhStatus getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type,
                                PdhFmtCounterValue& value) override
    {
        // A query of rate counters reads nothing before its second collection.
        if (freshQuery >= 0 && collections - freshQuery < 2) {
            value.cStatus = PDH_CSTATUS_INVALID_DATA;
            return PDH_INVALID_DATA;
        }
        PdhStatus status = FakePerfData::getFormattedValue(counter, format, type, value);
        if (status != 0 || !clocked)
            return status;
        int32_t second = DateTime::now().timeParts().second;
        value.doubleValue = second + 1;
        value.largeValue = 10 * (second + 1);
        return status;
    }
    bool clocked = true;
    PdhStatus collectStatus = 0;
    int freshQuery = -1;  // collections when the query was made; -1: not checked
};

struct Record {
    std::string classification;
    std::string measurement;
    int64_t time = 0;
};

class SamplingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setDebugLevel(5);
        setSeverityThreshold(0);
        setCounterLogger(SmartPointer<LoggerUnit>(new LoggerUnit(MemorySink::makeCentre(sink_), MODULE_RAVLON)));
        Sampling::resetState();
        clearRegistry();
        DataDelivery::instance().clear();
        fake_.install();
        pdhQuery = 0x42;
        agent_.facts() = AgentFacts([](std::string& domain, std::string& computer, std::string& arch,
                                       std::string& os) {
            domain = "lab";
            computer = "HOST7";
            arch = "x64";
            os = "Linux";
        });
        agent_.facts().gatherHostFacts();
        Sampling::setAgent(&agent_);
    }

    void TearDown() override
    {
        stopThreads();
        DataDelivery::instance().clear();
        Sampling::resetState();
        clearRegistry();
        pdhQuery = PDH_NULL_HANDLE;
        setCounterLogger(SmartPointer<LoggerUnit>());
    }

    // A counter in the query (percent paths read doubles, others integers).
    void addCounter(const std::string& path, bool inQuery = true)
    {
        size_t split = path.rfind('\\');
        SmartPointer<Counter> c(new Counter(path.substr(1, split - 1), path.substr(split + 1)));
        ASSERT_TRUE(registerCounter(c));
        if (inQuery) {
            c->localizedPath = path;
            fake_.acceptPath(path);
            fake_.queueDouble(path, 0);
        }
    }

    void addScheme(const std::string& scheme, const std::vector<std::string>& paths, bool withFile = true)
    {
        Sampling::schemeCounters()[scheme] = paths;
        if (withFile)
            DataDelivery::instance().registerLogFile(dir_.file(scheme + "Log"), scheme, TimeSpan(43200), false,
                                                     nullptr);
    }

    void prepare(const std::vector<std::string>& schemes)
    {
        addCountersToQuery();
        ASSERT_TRUE(Sampling::preparePoller(agent_));
        for (const std::string& s : schemes)
            ASSERT_TRUE(Sampling::prepareCollector(agent_, s, entries_));
    }

    void start(VirtualTime& vt)
    {
        vt.expect(static_cast<int>(agent_.threads().size()));
        ASSERT_TRUE(agent_.startThreads());
    }

    // The simulated clock for tests that run threads; it outlives them.
    VirtualTime& useClock()
    {
        vt_.reset(new VirtualTime(START));
        return *vt_;
    }

    std::string idleRecord(double busy, double idle);

    void stopThreads()
    {
        if (!vt_)
            return;
        agent_.requestQuit();
        vt_->release();
        for (ThreadRecord& entry : agent_.threads())
            if (!entry.thread.isNull())
                entry.thread->stop(false, -1, 5000);
        vt_.reset();
    }

    // Delivers every data file and reads back the records of a scheme, oldest first.
    std::vector<Record> records(const std::string& scheme)
    {
        DataDelivery::instance().deliverAll(true);
        std::map<long, std::string> files;
        const std::string prefix = scheme + "Log-";
        for (const auto& item : std::filesystem::directory_iterator(dir_.path())) {
            std::string name = item.path().filename().string();
            if (name.rfind(prefix, 0) != 0 || item.path().extension() != ".data")
                continue;
            std::string stem = item.path().stem().string();
            files[std::stol(stem.substr(stem.rfind('-') + 1))] = TempDir::readFile(item.path().string());
        }
        std::string all;
        for (const auto& f : files)
            all += f.second;
        return parse(all);
    }

    static std::vector<Record> parse(const std::string& text)
    {
        std::vector<Record> found;
        size_t at = 0;
        while (at < text.size()) {
            size_t first = text.find('\n', at);
            size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
            EXPECT_NE(second, std::string::npos) << "unfinished record: " << text.substr(at);
            if (second == std::string::npos)
                break;
            Record r;
            r.classification = text.substr(at, first - at + 1);
            r.measurement = text.substr(first + 1, second - first);
            r.time = std::stoll(r.classification.substr(3));
            found.push_back(r);
            at = second + 1;
        }
        return found;
    }

    std::vector<std::string> messages(int id) const
    {
        char tag[32];
        std::snprintf(tag, sizeof tag, "(8.09.%02d)", id);
        std::vector<std::string> found;
        for (const std::string& line : sink_->lines())
            if (line.find(tag) != std::string::npos)
                found.push_back(line.substr(line.find(": ") + 2));
        return found;
    }

    // Answer of a collector asked whether it is alive, as the supervisor asks.
    int32_t ask(VirtualTime& vt, const std::string& name)
    {
        for (ThreadRecord& entry : agent_.threads()) {
            if (entry.name != name)
                continue;
            entry.state = STATE_ASKED;
            vt.wake(entry.wakeup);
            EXPECT_TRUE(vt.runFor(1000));
            return entry.state.load();
        }
        ADD_FAILURE() << "no thread " << name;
        return -1;
    }

    std::string classification(int64_t time, const std::string& code, const std::string& kind = "undef")
    {
        return "30:" + std::to_string(time) + ":" + code + ":0:HOST7:0:x64:0:lab:0:Linux:0:" + kind + PADS + "\n";
    }

    TempDir dir_{"sampling"};
    SmartPointer<MemorySink> sink_;
    ClockedPerfData fake_;
    TestAgent agent_;
    Sampling::DataFileEntries entries_;
    std::unique_ptr<VirtualTime> vt_;
};

TEST_F(SamplingTest, RecordsOnTheHalfMinuteMarksHoldTheAveragesSinceTheMinute)
{
    VirtualTime& vt = useClock();
    agent_.facts().primeTime().loadText("*:*:*:*:*\n");
    addCounter(BUSY);
    addCounter(QUEUE);
    addCounter(IDLE, false);  // registered but not in the query
    addScheme("cpu", {BUSY, GONE, QUEUE, IDLE});
    addScheme("Ravlon", {QUEUE});
    addScheme("empty", {});
    prepare({"cpu", "Ravlon", "empty"});
    start(vt);
    // The poller aligns to 10:00:29 and samples from 10:00:30 on; the first
    // period ends at 10:01:00. Run to 10:02:37.
    ASSERT_TRUE(vt.runFor(150000));

    std::vector<Record> cpu = records("cpu");
    ASSERT_EQ(cpu.size(), 4u);
    for (size_t i = 0; i < cpu.size(); ++i) {
        int64_t mark = MINUTE_10_01 + 30 * static_cast<int64_t>(i);
        EXPECT_EQ(cpu[i].time, mark) << i;
        EXPECT_EQ(cpu[i].classification, classification(mark, "??", "prime"));
        // :00 holds the sample of that second; :30 the 31 samples from :00 on.
        if (i % 2 == 0)
            EXPECT_EQ(cpu[i].measurement, "1:1: :10: \n") << i;
        else
            EXPECT_EQ(cpu[i].measurement, "1:16: :160: \n") << i;
    }
    std::vector<Record> ravlon = records("Ravlon");
    ASSERT_EQ(ravlon.size(), 4u);
    EXPECT_EQ(ravlon[0].classification, classification(MINUTE_10_01, "36", "prime"));
    EXPECT_EQ(ravlon[1].measurement, "1:160\n");
    std::vector<Record> empty = records("empty");
    ASSERT_EQ(empty.size(), 4u);
    EXPECT_EQ(empty[3].measurement, "1\n");
    // The missing path is reported once per record of its scheme.
    EXPECT_EQ(messages(Sampling::MSG_NO_COUNTER).size(), 4u);
    EXPECT_NE(messages(Sampling::MSG_NO_COUNTER)[0].find(GONE), std::string::npos);
    EXPECT_EQ(entries_.size(), 3u);
    EXPECT_EQ(entries_.front().first, "cpuLog");
}

// One minute with the idle correction on and constant busy and idle values:
// the record's measurement line.
std::string SamplingTest::idleRecord(double busy, double idle)
{
    VirtualTime& vt = useClock();
    fake_.clocked = false;
    addCounter(BUSY);
    addCounter(IDLE);
    fake_.queueDouble(BUSY, busy);
    fake_.queueDouble(IDLE, idle);
    addScheme("cpu", {BUSY, IDLE});
    prepare({"cpu"});
    Sampling::idleTimeCorrection = true;
    start(vt);
    if (!vt.runFor(60000))
        return "(stuck)";
    std::vector<Record> cpu = records("cpu");
    return cpu.size() == 1 ? cpu[0].measurement : std::to_string(cpu.size()) + " records";
}

TEST_F(SamplingTest, IdleTimeIsCorrectedInTheSameRecord)
{
    EXPECT_EQ(idleRecord(37.5, 99), "1:37.5:62.5\n");
}

// A busy average a little above 100 (a counter's rounding) may not make the
// corrected idle value negative: the idle counter keeps its own value then.
TEST_F(SamplingTest, IdleTimeIsNotCorrectedBelowZero)
{
    EXPECT_EQ(idleRecord(100.5, 2), "1:100.5:2\n");
}

TEST_F(SamplingTest, AClockSetForwardGivesOneRecordAndThenTheMarksAgain)
{
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("cpu", {BUSY});
    prepare({"cpu"});
    using Telvar::Platform::CollectorStatistics;
    const auto missed = [] { return Telvar::Platform::collectorStatistics().get(CollectorStatistics::SAMPLES_MISSED); };
    const int64_t missedBefore = missed();
    start(vt);
    ASSERT_TRUE(vt.runFor(93000));  // 10:01:40, records at 10:01:00 and 10:01:30
    EXPECT_EQ(missedBefore, missed());  // every second sampled within itself
    vt.stepClock(612000);           // 10:11:52
    ASSERT_TRUE(vt.runFor(100000)); // 10:13:32
    // The seconds the step passed over are caught up late, then no more.
    EXPECT_GE(missed() - missedBefore, 12);
    EXPECT_LE(missed() - missedBefore, 30);

    std::vector<Record> cpu = records("cpu");
    std::vector<int64_t> times;
    for (const Record& r : cpu)
        times.push_back(r.time);
    // One record when the jump is seen, stamped with the mark just passed,
    // then :00 and :30 of the new time: never a time off the marks.
    ASSERT_EQ(times.size(), 7u);
    EXPECT_EQ(times[0], MINUTE_10_01);
    EXPECT_EQ(times[1], MINUTE_10_01 + 30);
    EXPECT_EQ(times[2], MINUTE_10_01 + 10 * 60 + 30);
    EXPECT_EQ(times[3], MINUTE_10_01 + 11 * 60);
    EXPECT_EQ(times[4], MINUTE_10_01 + 11 * 60 + 30);
    EXPECT_EQ(times[5], MINUTE_10_01 + 12 * 60);
    EXPECT_EQ(times[6], MINUTE_10_01 + 12 * 60 + 30);
    for (const Record& r : cpu) {
        double v = std::stod(r.measurement.substr(2));
        EXPECT_GE(v, 1.0);
        EXPECT_LE(v, 60.0);
    }
}

TEST_F(SamplingTest, AClockSetBackBySecondsNeitherRepeatsNorSkipsAPeriod)
{
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("cpu", {BUSY});
    prepare({"cpu"});
    start(vt);
    ASSERT_TRUE(vt.runFor(93000));  // 10:01:40
    vt.stepClock(-12000);           // 10:01:28: the :30 mark comes round again
    ASSERT_TRUE(vt.runFor(100000)); // 10:03:08
    std::vector<int64_t> times;
    for (const Record& r : records("cpu"))
        times.push_back(r.time);
    std::vector<int64_t> marks = {MINUTE_10_01, MINUTE_10_01 + 30, MINUTE_10_01 + 60, MINUTE_10_01 + 90,
                                  MINUTE_10_01 + 120};
    EXPECT_EQ(times, marks);
}

TEST_F(SamplingTest, AClockSetBackByMinutesNeverRecordsAMarkTwice)
{
    // The marks between the new time and the last record already have their
    // records; the next one is the first mark after the last record.
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("cpu", {BUSY});
    prepare({"cpu"});
    start(vt);
    ASSERT_TRUE(vt.runFor(93000));   // 10:01:40
    vt.stepClock(-600000);           // 09:51:40
    ASSERT_TRUE(vt.runFor(660000));  // 10:02:40
    std::vector<int64_t> times;
    for (const Record& r : records("cpu"))
        times.push_back(r.time);
    std::vector<int64_t> marks = {MINUTE_10_01, MINUTE_10_01 + 30, MINUTE_10_01 + 60, MINUTE_10_01 + 90};
    EXPECT_EQ(times, marks);
}

TEST_F(SamplingTest, FourFailedRecordsWithinTwoMinutesMakeTheWriterFatal)
{
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("lost", {BUSY}, false);  // no data file
    prepare({"lost"});
    start(vt);
    ASSERT_TRUE(vt.runFor(130000));  // 10:02:17: failures at 10:01:00, :30, 10:02:00
    EXPECT_EQ(messages(Sampling::MSG_NO_DATA_FILE).size(), 3u);
    EXPECT_EQ(ask(vt, "counterDataCollector(lost)"), STATE_ALIVE);
    ASSERT_TRUE(vt.runFor(20000));   // the fourth at 10:02:30
    EXPECT_EQ(ask(vt, "counterDataCollector(lost)"), STATE_FATAL);
    // A fatal writer stops writing.
    ASSERT_TRUE(vt.runFor(60000));
    EXPECT_EQ(messages(Sampling::MSG_NO_DATA_FILE).size(), 4u);
    EXPECT_NE(messages(Sampling::MSG_NO_DATA_FILE)[0].find("No data file for collection scheme lost;"), std::string::npos);
}

TEST_F(SamplingTest, FailuresMoreThanTwoMinutesApartStartANewCount)
{
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("cpu", {BUSY});
    prepare({"cpu"});
    const std::vector<std::string> paths = Sampling::schemeCounters()["cpu"];
    start(vt);
    // Without its counter list the scheme fails: 10:01:00, :30, 10:02:00.
    Sampling::schemeCounters().erase("cpu");
    ASSERT_TRUE(vt.runFor(118000));  // 10:02:05
    EXPECT_EQ(messages(Sampling::MSG_NO_SCHEME).size(), 3u);
    EXPECT_NE(messages(Sampling::MSG_NO_SCHEME)[0].find("Internal error: getCounters(cpu) is not"), std::string::npos);
    // Written: 10:02:30, 10:03:00, 10:03:30.
    Sampling::schemeCounters()["cpu"] = paths;
    ASSERT_TRUE(vt.runFor(90000));   // 10:03:35
    EXPECT_EQ(records("cpu").size(), 3u);
    // 10:04:00 is more than 120 s after 10:01:00: a new count, up to three.
    Sampling::schemeCounters().erase("cpu");
    ASSERT_TRUE(vt.runFor(90000));   // 10:05:05
    EXPECT_EQ(messages(Sampling::MSG_NO_SCHEME).size(), 6u);
    EXPECT_EQ(ask(vt, "counterDataCollector(cpu)"), STATE_ALIVE);
    ASSERT_TRUE(vt.runFor(30000));   // the fourth of the new count at 10:05:30
    EXPECT_EQ(ask(vt, "counterDataCollector(cpu)"), STATE_FATAL);
}

TEST_F(SamplingTest, AWriterStartedMidPeriodWaitsForItsEnd)
{
    // A writer started again (restart, reconfiguration) in the middle of a
    // period whose record may already exist must wait for the next end.
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("cpu", {BUSY});
    addScheme("late", {BUSY});
    prepare({"cpu"});
    start(vt);
    ASSERT_TRUE(vt.runFor(63000));  // 10:01:10, one record of cpu
    ASSERT_TRUE(Sampling::prepareCollector(agent_, "late", entries_));
    vt.expect(3);
    ASSERT_TRUE(agent_.threads().back().thread->execute());
    ASSERT_TRUE(vt.runFor(30000));  // 10:01:40
    std::vector<Record> late = records("late");
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].time, MINUTE_10_01 + 30);
    EXPECT_EQ(records("cpu").size(), 2u);
}

// Writers sleep until woken. A wake-up that comes early (a liveness request,
// any ring before a period's end) writes nothing; one that comes late (the
// poller's ring missed, the writer waking on its own up to a period later)
// still writes each mark once, stamped with the mark.
TEST_F(SamplingTest, EarlyAndLateWakeUpsWriteEachMarkOnce)
{
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("early", {BUSY});
    addScheme("late", {BUSY});
    prepare({"early", "late"});
    start(vt);
    ASSERT_TRUE(vt.runFor(100));
    ThreadRecord* early = nullptr;
    for (ThreadRecord& entry : agent_.threads()) {
        if (entry.name == "counterDataCollector(early)")
            early = &entry;
        if (entry.name == "counterDataCollector(late)")
            entry.wakeup.setGroup(0);  // deaf to the poller
    }
    ASSERT_NE(early, nullptr);
    for (int i = 0; i < 30; ++i) {  // to 10:03:37, a ring every 7 s
        vt.wake(early->wakeup);
        ASSERT_TRUE(vt.runFor(7000));
    }
    std::vector<int64_t> marks;
    for (int64_t mark = MINUTE_10_01; mark <= MINUTE_10_01 + 150; mark += 30)
        marks.push_back(mark);
    for (const char* scheme : {"early", "late"}) {
        SCOPED_TRACE(scheme);
        std::vector<int64_t> times;
        for (const Record& r : records(scheme))
            times.push_back(r.time);
        EXPECT_EQ(times, marks);
    }
}

// A reconfiguration stops every sampling thread and starts new ones with a
// fresh query. Whenever it falls, each mark after it has its record, no mark
// gets two, and the new query is read only after two collections.
TEST_F(SamplingTest, AReconfigurationLosesNoMarkAndWritesNoneTwice)
{
    VirtualTime& vt = useClock();
    addCounter(BUSY);
    addScheme("cpu", {BUSY});
    prepare({"cpu"});
    start(vt);
    // Reconfigured at 10:01:10 (mid-period), 10:01:59.6 and 10:02:59.9 (just
    // before a mark: the new threads start after it); run to 10:04:37.
    int64_t ran = 0;
    for (int64_t at : {63000, 112600, 172900, 270000}) {
        ASSERT_TRUE(vt.runFor(at - ran));
        ran = at;
        if (at == 270000)
            break;
        // As a restart does: stop, verify, configure again, start.
        agent_.stopThreads();
        vt.release();
        ASSERT_TRUE(Testing::waitFor(
            [&] {
                for (ThreadRecord& entry : agent_.threads())
                    if (entry.thread->status() == JOB_RUNNING)
                        return false;
                return true;
            },
            10000));
        ASSERT_TRUE(agent_.verifyStoppedThreads());
        agent_.dropThreads();
        vt.recapture();
        ran = vt.nowMilliseconds() - START * 1000;  // the threads' last steps moved the clock
        fake_.freshQuery = fake_.collections;
        prepare({"cpu"});
        start(vt);
    }
    std::vector<int64_t> times;
    for (const Record& r : records("cpu"))
        times.push_back(r.time);
    std::vector<int64_t> marks;
    for (int64_t mark = MINUTE_10_01; mark <= MINUTE_10_01 + 210; mark += 30)
        marks.push_back(mark);
    EXPECT_EQ(times, marks);
    // Neither a failed read of a fresh query nor a failed collection.
    EXPECT_TRUE(messages(9).empty()) << testing::PrintToString(messages(9));
}

TEST_F(SamplingTest, CollectionHappensOncePerTickAndFailuresAreReported)
{
    VirtualTime vt(START);
    // The last collected tick starts at 0: a first tick 0 collects nothing.
    EXPECT_TRUE(Sampling::getRawCounterData(0));
    EXPECT_EQ(fake_.collections, 0);
    EXPECT_TRUE(Sampling::getRawCounterData(1));
    EXPECT_TRUE(Sampling::getRawCounterData(1));
    EXPECT_EQ(fake_.collections, 1);
    fake_.collectStatus = PDH_NO_DATA;
    EXPECT_TRUE(Sampling::getRawCounterData(2));
    fake_.collectStatus = PDH_INVALID_HANDLE;
    EXPECT_TRUE(Sampling::getRawCounterData(3));
    fake_.collectStatus = PDH_CSTATUS_NO_OBJECT;
    EXPECT_TRUE(Sampling::getRawCounterData(4));
    std::vector<std::string> reported = messages(Sampling::MSG_COLLECT_FAILED);
    ASSERT_EQ(reported.size(), 3u);
    EXPECT_NE(reported[0].find("could not be read: There are no counters."), std::string::npos);
    EXPECT_NE(reported[1].find("could not be read: Invalid handle"), std::string::npos) << reported[1];
    EXPECT_NE(reported[2].find("could not be read: PDH_CSTATUS_NO_OBJECT"), std::string::npos);
    EXPECT_EQ(Sampling::lastCollectedTick(), 4);
}

TEST_F(SamplingTest, ClassificationPadsToElevenFields)
{
    VirtualTime vt(START);
    std::string text;
    Sampling::writeClassification(text, "Ravlon", {"a"});
    EXPECT_EQ(text, "30:" + std::to_string(START) + ":36:0:HOST7:0:x64:0:lab:0:Linux:0:undef:0:a: : : : : : : : \n");
    text.clear();
    Sampling::writeClassification(text, "x", {"1", "2", "3", "4", "5"});
    EXPECT_EQ(text, "30:" + std::to_string(START) + ":??:0:HOST7:0:x64:0:lab:0:Linux:0:undef:0:1:0:2:0:3:0:4:0:5\n");
}

// A full or missing disk must not shut the collector down: the record is
// dropped whole and the writer goes on, so writing resumes with the space.
TEST_F(SamplingTest, ARecordThatCannotBeWrittenIsDroppedWithoutAStrayLine)
{
    VirtualTime vt(START);  // sleeps pass at once
    addCounter(BUSY);
    Sampling::schemeCounters()["cpu"] = {BUSY};
    // The data file's directory does not exist, so it never opens.
    DataDelivery::instance().registerLogFile(dir_.file("missing/cpuLog"), "cpu", TimeSpan(43200), false, nullptr);
    int64_t before = vt.nowMilliseconds();
    EXPECT_TRUE(Sampling::writeMeasurements("cpu"));
    // Three attempts, 100 ms apart.
    EXPECT_EQ(vt.nowMilliseconds() - before, 200);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));
}

TEST_F(SamplingTest, ADeliveryBetweenARecordAndItsLineEndKeepsTheRecordWhole)
{
    // The interleaving the race below can only hit by chance: the delivery
    // thread ends the file after a record's write and before its line end.
    addCounter(BUSY);
    fake_.clocked = false;
    addCountersToQuery();
    registerCounterData(true);
    addScheme("a", {BUSY});
    ASSERT_TRUE(Sampling::writeMeasurements("a"));
    std::string text;
    Sampling::writeClassification(text, "a", {});
    text += "1:0";
    SmartPointer<LogFile> file = DataDelivery::instance().getLogFile("a");
    ASSERT_TRUE(file->write(text));
    DataDelivery::instance().deliverAll(true);
    ASSERT_TRUE(file->endLine());
    ASSERT_TRUE(Sampling::writeMeasurements("a"));
    DataDelivery::instance().deliverAll(true);

    std::vector<std::string> contents;
    std::map<long, std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(dir_.path())) {
        std::string stem = item.path().stem().string();
        files[std::stol(stem.substr(stem.rfind('-') + 1))] = TempDir::readFile(item.path().string());
    }
    for (const auto& f : files)
        contents.push_back(f.second);
    ASSERT_EQ(contents.size(), 2u);
    EXPECT_EQ(parse(contents[0]).size(), 2u);
    EXPECT_EQ(contents[0].substr(contents[0].size() - 4), "1:0\n");
    ASSERT_EQ(parse(contents[1]).size(), 1u);
    EXPECT_EQ(contents[1].substr(0, 3), "30:");
}

TEST_F(SamplingTest, DeliveriesRacingWritersNeverSplitARecord)
{
    addCounter(BUSY);
    fake_.clocked = false;
    addCountersToQuery();
    registerCounterData(true);
    addScheme("a", {BUSY, BUSY});
    addScheme("b", {BUSY});
    const int perWriter = 300;
    std::atomic<bool> done{false};
    auto writer = [&](const std::string& scheme) {
        for (int i = 0; i < perWriter; ++i) {
            Sampling::samplingLock().enforce();
            EXPECT_TRUE(Sampling::writeMeasurements(scheme));
            Sampling::samplingLock().relax();
        }
    };
    std::thread deliverer([&] {
        while (!done.load())
            DataDelivery::instance().deliverAll(true);
    });
    std::thread w1(writer, "a");
    std::thread w2(writer, "b");
    std::thread w3(writer, "a");
    w1.join();
    w2.join();
    w3.join();
    done = true;
    deliverer.join();
    // Every file holds whole records only: parse() fails on a cut one, and
    // a line end delivered apart from its record would show as an empty line.
    for (const std::string scheme : {"a", "b"}) {
        std::vector<Record> found = records(scheme);
        EXPECT_EQ(found.size(), scheme == "a" ? 2u * perWriter : 1u * perWriter);
        for (const Record& r : found) {
            EXPECT_EQ(r.classification.substr(0, 3), "30:");
            EXPECT_EQ(r.measurement, scheme == "a" ? "1:0:0\n" : "1:0\n");
        }
    }
    for (const auto& item : std::filesystem::directory_iterator(dir_.path())) {
        std::string content = TempDir::readFile(item.path().string());
        EXPECT_TRUE(content.empty() || content.back() == '\n') << item.path();
        EXPECT_EQ(content.find("\n\n"), std::string::npos) << item.path();
        EXPECT_NE(content.substr(0, 1), "\n") << item.path();
    }
}

TEST_F(SamplingTest, PrepareRegistersSupervisedThreads)
{
    ASSERT_TRUE(Sampling::preparePoller(agent_));
    ASSERT_TRUE(Sampling::prepareCollector(agent_, "cpu", entries_));
    ASSERT_EQ(agent_.threads().size(), 2u);
    EXPECT_EQ(agent_.threads().front().name, "performanceDataPoller");
    EXPECT_EQ(agent_.threads().back().name, "counterDataCollector(cpu)");
    for (ThreadRecord& entry : agent_.threads()) {
        EXPECT_EQ(entry.flags, 0x02);
        EXPECT_FALSE(entry.thread.isNull());
    }
    ASSERT_EQ(entries_.size(), 1u);
    EXPECT_EQ(entries_.front(), std::make_pair(std::string("cpuLog"), std::string("cpu")));
    EXPECT_EQ(Sampling::agent(), &agent_);
}

// The real backend and the real clock, shifted so that the poller starts
// sampling within a few seconds; the first record comes 31 s after that.
TEST_F(SamplingTest, RealBackendWritesOneRecordPerPeriod)
{
    fake_.uninstall();
    agent_.facts() = AgentFacts();
    agent_.facts().gatherHostFacts();
    int64_t real = static_cast<int64_t>(std::time(nullptr));
    // Real second r reads as one that is 27 past a half minute.
    const int64_t shift = ((27 - real % 30) + 30) % 30;
    Telvar::Testing::ManualClock shifted;
    shifted.readWith([shift] { return static_cast<int64_t>(std::time(nullptr)) + shift; });
    ASSERT_EQ(perfData().openQuery(pdhQuery), 0u);
    addCounter(BUSY);
    // Up time: a counter every system's provider has, wine's PDH included.
    const std::string upTime = "\\System\\System Up Time";
    addCounter(upTime);
    addScheme("cpu", {BUSY, upTime});
    prepare({"cpu"});
    ASSERT_TRUE(agent_.startThreads());
    // First period end: shifted :29 + 31 s.
    std::vector<Record> cpu;
    for (int waited = 0; waited < 45 && Sampling::periodCount.load() < 1; ++waited)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    agent_.requestQuit();
    for (ThreadRecord& entry : agent_.threads())
        entry.thread->stop(false, -1, 5000);
    perfData().closeQuery(pdhQuery);
    cpu = records("cpu");
    ASSERT_EQ(cpu.size(), 1u);
    std::cout << "record: " << cpu[0].classification << cpu[0].measurement;
    // Normally the mark itself; a loaded machine may take the writer past it.
    EXPECT_LE(cpu[0].time % 30, 1);
    std::string line = cpu[0].measurement;
    ASSERT_EQ(line.substr(0, 2), "1:");
    size_t colon = line.find(':', 2);
    ASSERT_NE(colon, std::string::npos);
    double busy = std::stod(line.substr(2, colon - 2));
    EXPECT_GE(busy, 0.0);
    EXPECT_LE(busy, 100.0);
    EXPECT_GT(std::stoll(line.substr(colon + 1)), 0);
}

} // namespace
