#include "agent/Agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/ThreadInstance.h"
#include "logger/LogSettings.h"
#include "logger/LoggerCentre.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/TestInstallation.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::waitFor;

namespace {

enum Mode {
    NORMAL,       // answers every request
    SILENT,       // stops answering but keeps running
    FATAL,        // answers with a fatal condition
    FATAL_EXIT,   // answers fatal once, then ends by itself
    EXIT,         // ends by itself
    IGNORE_QUIT,  // answers, but never leaves its loop
    SILENT_ONCE   // silent in its first run, answers once restarted
};

struct Control {
    std::atomic<int> mode{NORMAL};
    std::atomic<int> runs{0};
};

Agent* g_agent = nullptr;
// Filled before any worker starts, read-only while they run.
std::map<std::string, Control> g_controls;

int32_t worker(void* parameter)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(parameter);
    Control& control = g_controls.at(record->name);
    int run = ++control.runs;
    for (;;) {
        int mode = control.mode.load();
        if (mode == SILENT_ONCE)
            mode = run == 1 ? SILENT : NORMAL;
        if (mode == EXIT)
            return 3;
        if (mode != IGNORE_QUIT && g_agent->shouldQuit(record->state))
            return 0;
        if (mode == NORMAL || mode == IGNORE_QUIT)
            g_agent->reportAlive(record->state, false);
        if (mode == FATAL || mode == FATAL_EXIT)
            g_agent->reportAlive(record->state, true);
        if (mode == FATAL_EXIT && record->state.load() == STATE_FATAL)
            return 4;
        Platform::threadSleep(2);
    }
}

class TestAgent : public Agent {
public:
    void run() override {}
    bool configureCollector() override
    {
        ++configured;
        return collector ? collector() : true;
    }
    using Agent::checkThread;
    using Agent::monitorThread;
    std::function<bool()> collector;
    int configured = 0;
};

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousLevel_ = debugLevel();
        setDebugLevel(5);
        previousGrace_ = Platform::setTerminateGraceMilliseconds(200);
        g_controls.clear();
        agent_.reset(new TestAgent());
        g_agent = agent_.get();
        agent_->setLoggerCentre(MemorySink::makeCentre(sink_));
        time_.readWith([this] { return clock_.load(); });
        // The pause before verification waits for the threads told to end;
        // stop's waits for the quit message stay short.
        time_.sleepWith([this](int ms) {
            if (ms != static_cast<int>(Agent::STOP_GRACE_MS)) {
                Platform::threadSleep(1);
                return;
            }
            sleeps_.push_back(static_cast<uint32_t>(ms));
            waitFor([this] {
                for (ThreadRecord& r : agent_->threads())
                    if (r.reportsState() && r.checkStatus != CHECK_DOWN && !r.thread.isNull() &&
                        r.thread->status() == JOB_RUNNING && g_controls[r.name].mode != IGNORE_QUIT)
                        return false;
                return true;
            });
        });
        sink_->clear();
    }

    void TearDown() override
    {
        agent_.reset();
        g_agent = nullptr;
        g_controls.clear();
        Platform::setTerminateGraceMilliseconds(previousGrace_);
        setDebugLevel(previousLevel_);
    }

    ThreadRecord* add(const std::string& name, int mode = NORMAL, uint8_t flags = ThreadRecord::REPORTS_STATE)
    {
        g_controls[name].mode = mode;
        ThreadRecord* entry = agent_->addThread(ThreadRecord(name, flags));
        entry->thread = SmartPointer<ThreadInstance>(new ThreadInstance(worker, entry));
        return entry;
    }

    std::vector<std::string> texts() const { return sink_->texts(); }

    bool hasText(const std::string& text) const
    {
        std::vector<std::string> all = texts();
        return std::find(all.begin(), all.end(), text) != all.end();
    }

    // Lines of a numbered Agent message with the given severity word.
    size_t messages(const std::string& severity, int id) const
    {
        char tag[16];
        snprintf(tag, sizeof tag, "(8.21.%02d)", id);
        size_t n = 0;
        for (const std::string& line : sink_->lines())
            if (line.rfind(severity, 0) == 0 && line.find(tag) != std::string::npos)
                ++n;
        return n;
    }

    std::unique_ptr<TestAgent> agent_;
    SmartPointer<MemorySink> sink_;
    std::atomic<int64_t> clock_{1000000};
    Testing::ManualClock time_;
    std::vector<uint32_t> sleeps_;
    int32_t previousLevel_ = 5;
    uint32_t previousGrace_ = 0;
};

TEST_F(AgentTest, ReportAliveAnswersOnlyRequests)
{
    std::atomic<int32_t> state{STATE_NONE};
    agent_->reportAlive(state, false);
    EXPECT_EQ(STATE_NONE, state.load());
    state = STATE_ASKED;
    agent_->reportAlive(state, false);
    EXPECT_EQ(STATE_ALIVE, state.load());
    state = STATE_ASKED;
    agent_->reportAlive(state, true);
    EXPECT_EQ(STATE_FATAL, state.load());
    state = STATE_QUIT;
    agent_->reportAlive(state, false);
    EXPECT_EQ(STATE_QUIT, state.load());
    EXPECT_TRUE(agent_->shouldQuit(state));

    state = STATE_ALIVE;
    EXPECT_FALSE(agent_->shouldQuit(state));
    agent_->requestQuit();
    agent_->reportAlive(state, false);
    EXPECT_EQ(STATE_QUITTING, state.load());
    EXPECT_TRUE(agent_->shouldQuit(state));
}

TEST_F(AgentTest, LogThreadStatusByLevel)
{
    agent_->logThreadStatus("DataDelivery", false);
    agent_->logThreadStatus("DataDelivery", true);
    setDebugLevel(4);
    agent_->logThreadStatus("DataDelivery", false);
    agent_->logThreadStatus("DataDelivery", true);
    setDebugLevel(2);
    agent_->logThreadStatus("DataDelivery", true);
    setDebugLevel(5);
    agent_->requestQuit();
    agent_->logThreadStatus("DataDelivery", false);
    std::vector<std::string> expected = {
        "THREAD DataDelivery is running as normal.",
        "THREAD DataDelivery is in fatal status.",
        "THREAD DataDelivery is in fatal status.",
        "THREAD DataDelivery is waiting to quit.",
    };
    EXPECT_EQ(expected, texts());
}

TEST_F(AgentTest, StartStopAndVerifyWellBehavedThreads)
{
    ThreadRecord* first = add("DataDelivery");
    ThreadRecord* unnamed = add("");
    ASSERT_TRUE(agent_->startThreads());
    EXPECT_EQ(CHECK_OK, first->checkStatus);
    EXPECT_EQ(1000000, first->lastOk.seconds());
    EXPECT_TRUE(agent_->stopAndVerifyThreads());
    EXPECT_EQ(std::vector<uint32_t>{750}, sleeps_);
    EXPECT_EQ(STATE_QUIT, unnamed->state.load());
    std::vector<std::string> expected = {
        "Starting threads...",
        "   Started \"DataDelivery\".",
        "   Started 2 thread(s), and failed to start 0.",
        "Stopping threads...",
        "   2 thread(s) signalled to stop, 0 killed.",
        "Verifying stopped threads...",
        "   2 thread(s) ended nicely, 0 was killed, and 0 failed to end.",
    };
    EXPECT_EQ(expected, texts());
    EXPECT_EQ(JOB_ENDED, first->thread->status());
}

TEST_F(AgentTest, StartFailureIsReportedAndTheOthersStart)
{
    add("a");
    ThreadRecord* broken = add("broken");
    add("c");
    // A thread instance that is already running cannot be started again.
    broken->thread->execute();
    sink_->clear();
    EXPECT_FALSE(agent_->startThreads());
    EXPECT_EQ(CHECK_DOWN, broken->checkStatus);
    EXPECT_TRUE(hasText("   Started 2 thread(s), and failed to start 1."));
    EXPECT_TRUE(hasText("   Started \"c\"."));
    EXPECT_EQ(1u, messages("ERROR", 8));
    EXPECT_EQ(1u, messages("FATAL", 11));
    bool traced = false;
    for (const std::string& t : texts())
        traced = traced || (t.find("ThreadInstance(") != std::string::npos && t.find(" - Agent(") != std::string::npos);
    EXPECT_TRUE(traced);

    // Stopped threads start again (the quit request does not stick), and an
    // entry without a thread instance fails like the others instead of crashing.
    ASSERT_TRUE(agent_->stopAndVerifyThreads());
    agent_->addThread(ThreadRecord("empty", ThreadRecord::REPORTS_STATE));
    sink_->clear();
    EXPECT_FALSE(agent_->startThreads());
    EXPECT_TRUE(hasText("   Started 3 thread(s), and failed to start 1."));
    EXPECT_EQ(1u, messages("ERROR", 8));
    EXPECT_EQ(CHECK_OK, broken->checkStatus);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(JOB_RUNNING, broken->thread->status());
}

TEST_F(AgentTest, AllThreadsWellGiveNoCheckTexts)
{
    ThreadRecord* a = add("a");
    ThreadRecord* b = add("b");
    ASSERT_TRUE(agent_->startThreads());
    sink_->clear();
    EXPECT_TRUE(agent_->initiatingPass());
    EXPECT_TRUE(agent_->checkThreads());
    EXPECT_FALSE(agent_->initiatingPass());
    ASSERT_TRUE(waitFor([&] { return a->state == STATE_ALIVE && b->state == STATE_ALIVE; }));
    clock_ += 60;
    EXPECT_TRUE(agent_->checkThreads());
    std::vector<std::string> expected = {
        "Check: Checking threads...",
        "Monitoring threads...",
        "   Initiating...",
        "   Now checking thread \"a\"...",
        "   Now checking thread \"b\"...",
        "Done monitoring threads.",
        "Check: Finished checking threads.",
        "Check: Checking threads...",
        "Monitoring threads...",
        "   Checking...",
        "   Now checking thread \"a\"...",
        "   Now checking thread \"b\"...",
        "Done monitoring threads.",
        "Check: Finished checking threads.",
    };
    EXPECT_EQ(expected, texts());
    EXPECT_EQ(1000060, b->lastOk.seconds());
}

TEST_F(AgentTest, SilentThreadIsKilledAndRestartedInTheSameCheck)
{
    ThreadRecord* a = add("a");
    ThreadRecord* s = add("s", SILENT_ONCE);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(agent_->checkThreads());
    ASSERT_TRUE(waitFor([&] { return a->state == STATE_ALIVE; }));
    EXPECT_EQ(STATE_ASKED, s->state.load());
    sink_->clear();
    clock_ += 70;
    EXPECT_TRUE(agent_->checkThreads());
    std::vector<std::string> expected = {
        "Check: Checking threads...",
        "Monitoring threads...",
        "   Checking...",
        "   Now checking thread \"a\"...",
        "   Now checking thread \"s\"...",
        "   \"s\" is silent.",
        "Done monitoring threads.",
        "Check: Checking \"a\"...",
        "   Check: \"a\" is OK.",
        "Check: Checking \"s\"...",
        "   Check: \"s\" is not OK.",
        "      Check: The last time it was OK was P1M10S ago.",
        "   Check: \"s\" is silent.",
        "   Check: \"s\" has been killed.",
        "   Check: Thread \"s\" is down. Attempting restart...",
        "   Check: \"s\" has been restarted.",
        "Check: Finished checking threads.",
    };
    EXPECT_EQ(expected, texts());
    EXPECT_EQ(CHECK_OK, s->checkStatus);
    EXPECT_EQ(JOB_RUNNING, s->thread->status());
    EXPECT_TRUE(waitFor([] { return g_controls["s"].runs == 2; }));
    // The new thread answers the next request.
    ASSERT_TRUE(agent_->checkThreads());
    EXPECT_TRUE(waitFor([&] { return s->state == STATE_ALIVE; }));
}

TEST_F(AgentTest, EndedThreadIsRestartedByEitherPass)
{
    ThreadRecord* e = add("e", EXIT);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(waitFor([&] { return e->thread->status() == JOB_ENDED; }));
    for (int pass = 0; pass < 2; ++pass) {
        sink_->clear();
        g_controls["e"].mode = pass == 0 ? EXIT : NORMAL;
        EXPECT_TRUE(agent_->checkThreads());
        EXPECT_TRUE(hasText("   \"e\" is down."));
        EXPECT_TRUE(hasText("   Check: Thread \"e\" is down. Attempting restart..."));
        EXPECT_EQ(CHECK_OK, e->checkStatus);
        if (pass == 0) {
            ASSERT_TRUE(waitFor([&] { return e->thread->status() == JOB_ENDED; }));
        }
    }
    EXPECT_EQ(JOB_RUNNING, e->thread->status());
    EXPECT_TRUE(waitFor([] { return g_controls["e"].runs == 3; }));
}

// A thread that saw the quit flag and is on its way out is well: counting
// it as failed would kill or restart it in the middle of the shutdown.
TEST_F(AgentTest, AThreadOnItsWayOutCountsAsWell)
{
    ThreadRecord* q = add("q", IGNORE_QUIT);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(agent_->checkThreads());
    ASSERT_TRUE(waitFor([&] { return q->state == STATE_ALIVE; }));
    q->state = STATE_QUITTING;
    sink_->clear();
    clock_ += 60;
    EXPECT_TRUE(agent_->checkThreads());
    EXPECT_TRUE(hasText("   \"q\" is waiting for quit signal."));
    EXPECT_FALSE(hasText("Check: Checking \"q\"..."));
    EXPECT_EQ(CHECK_OK, q->checkStatus);
    EXPECT_EQ(1000060, q->lastOk.seconds());
    EXPECT_EQ(JOB_RUNNING, q->thread->status());
    EXPECT_EQ(1, g_controls["q"].runs.load());
    g_controls["q"].mode = NORMAL;
}

TEST_F(AgentTest, FatalReportShutsDownWithoutCheckingTheRest)
{
    ThreadRecord* f = add("", FATAL);
    ThreadRecord* s = add("s", SILENT_ONCE);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(agent_->checkThreads());
    ASSERT_TRUE(waitFor([&] { return f->state == STATE_FATAL; }));
    ASSERT_TRUE(waitFor([] { return g_controls["s"].runs == 1; }));
    sink_->clear();
    EXPECT_FALSE(agent_->checkThreads());
    EXPECT_TRUE(agent_->quitRequested());
    EXPECT_TRUE(hasText("   \"\" is fatal."));
    EXPECT_TRUE(hasText("Check: Thread \"UNKNOWN\" has reported a fatal error. We are shutting down."));
    EXPECT_FALSE(hasText("Check: Checking \"s\"..."));
    EXPECT_EQ(CHECK_SILENT, s->checkStatus);
    // Not restarted either; it may already be ending on the quit flag.
    EXPECT_EQ(1, g_controls["s"].runs);
}

TEST_F(AgentTest, FatalReportOfAThreadThatEndedIsNotRestarted)
{
    ThreadRecord* f = add("f", FATAL_EXIT);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(agent_->checkThreads());
    ASSERT_TRUE(waitFor([&] { return f->thread->status() == JOB_ENDED; }));
    sink_->clear();
    EXPECT_FALSE(agent_->checkThreads());
    EXPECT_TRUE(agent_->quitRequested());
    EXPECT_TRUE(hasText("Check: Thread \"f\" has reported a fatal error. We are shutting down."));
    EXPECT_FALSE(hasText("   Check: Thread \"f\" is down. Attempting restart..."));
    EXPECT_EQ(1, g_controls["f"].runs.load());
}

TEST_F(AgentTest, FailedRestartEndsTheCheck)
{
    add("a", EXIT);
    agent_->addThread(ThreadRecord("lost", ThreadRecord::REPORTS_STATE));
    ThreadRecord* b = add("b", SILENT);
    agent_->startThreads();
    ASSERT_TRUE(waitFor([&] { return agent_->threads().front().thread->status() == JOB_ENDED; }));
    sink_->clear();
    g_controls["a"].mode = NORMAL;
    EXPECT_FALSE(agent_->checkThreads());
    EXPECT_TRUE(hasText("   Check: Thread \"a\" is down. Attempting restart..."));
    EXPECT_TRUE(hasText("   Check: Thread \"lost\" is down. Attempting restart..."));
    EXPECT_EQ(1u, messages("FATAL", 7));
    // The check stops at the failure: the entry after it is left alone.
    EXPECT_FALSE(hasText("Check: Checking \"b\"..."));
    EXPECT_EQ(JOB_RUNNING, b->thread->status());
    EXPECT_FALSE(agent_->quitRequested());
}

TEST_F(AgentTest, AfterQuitDownThreadsAreNotRestarted)
{
    ThreadRecord* e = add("e", EXIT);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(waitFor([&] { return e->thread->status() == JOB_ENDED; }));
    agent_->requestQuit();
    sink_->clear();
    EXPECT_TRUE(agent_->checkThreads());
    EXPECT_TRUE(hasText("   Check: \"e\" is not OK."));
    EXPECT_FALSE(hasText("   Check: Thread \"e\" is down. Attempting restart..."));
    EXPECT_EQ(CHECK_DOWN, e->checkStatus);
    EXPECT_EQ(JOB_ENDED, e->thread->status());
}

TEST_F(AgentTest, StopCountsPlainThreadsAsKilledAndSkipsDownOnes)
{
    ThreadRecord* a = add("a");
    ThreadRecord* plain = add("plain", NORMAL, 0);
    ThreadRecord* down = add("down", EXIT);
    ASSERT_TRUE(agent_->startThreads());
    ASSERT_TRUE(waitFor([&] { return down->thread->status() == JOB_ENDED; }));
    ASSERT_TRUE(agent_->checkThreads());  // marks "down" CHECK_DOWN; restart ends again
    ASSERT_TRUE(waitFor([&] { return down->thread->status() == JOB_ENDED; }));
    down->checkStatus = CHECK_DOWN;
    sink_->clear();
    agent_->stopThreads();
    EXPECT_TRUE(hasText("   1 thread(s) signalled to stop, 1 killed."));
    EXPECT_EQ(CHECK_DOWN, plain->checkStatus);
    EXPECT_NE(JOB_RUNNING, plain->thread->status());
    EXPECT_NE(STATE_QUIT, down->state.load());
    ASSERT_TRUE(waitFor([&] { return a->thread->status() != JOB_RUNNING; }));

    // A plain thread that has already ended still counts as killed.
    plain->checkStatus = CHECK_OK;
    sink_->clear();
    agent_->stopThreads();
    EXPECT_TRUE(hasText("   1 thread(s) signalled to stop, 1 killed."));
    EXPECT_TRUE(agent_->verifyStoppedThreads());
    EXPECT_TRUE(hasText("   3 thread(s) ended nicely, 0 was killed, and 0 failed to end."));
}

TEST_F(AgentTest, VerifyKillsThreadsThatIgnoreTheQuitRequest)
{
    add("good");
    ThreadRecord* stubborn = add("stubborn", IGNORE_QUIT);
    ASSERT_TRUE(agent_->startThreads());
    sink_->clear();
    EXPECT_TRUE(agent_->stopAndVerifyThreads());
    EXPECT_TRUE(hasText("   1 thread(s) ended nicely, 1 was killed, and 0 failed to end."));
    EXPECT_EQ(JOB_KILLED, stubborn->thread->status());
    EXPECT_EQ(0u, messages("FATAL", 12));
}

TEST_F(AgentTest, RestartRebuildsTheRegistry)
{
    // A restart runs the whole start-up sequence, which needs an installation.
    Testing::TestInstallation install;
    ASSERT_TRUE(install.writeConfiguration(install.agentKeys("")));
    agent_->setProgramName("Ravlon");
    agent_->setInstanceLockName(Testing::TestInstallation::uniqueName("AgentRestart"));
    agent_->collector = [this] {
        add("new1");
        add("new2");
        return true;
    };
    add("old", IGNORE_QUIT);
    ASSERT_TRUE(agent_->startThreads());
    agent_->requestReconfigure();
    EXPECT_TRUE(agent_->restart());
    EXPECT_FALSE(agent_->reconfigureRequested());
    EXPECT_EQ(1, agent_->configured);
    // The delivery thread is registered again ahead of the collector's.
    std::vector<std::string> names;
    for (ThreadRecord& r : agent_->threads()) {
        names.push_back(r.name);
        EXPECT_EQ(JOB_RUNNING, r.thread->status());
    }
    EXPECT_EQ(std::vector<std::string>({"DataDelivery", "new1", "new2"}), names);
    EXPECT_EQ(std::vector<uint32_t>{750}, sleeps_);

    // A failed configuration starts nothing; only what the agent registered
    // before the collector failed is left.
    agent_->collector = [] { return false; };
    EXPECT_FALSE(agent_->restart());
    ASSERT_EQ(1u, agent_->threads().size());
    EXPECT_EQ("DataDelivery", agent_->threads().front().name);
    EXPECT_NE(JOB_RUNNING, agent_->threads().front().thread->status());
}

TEST_F(AgentTest, StopThreadsSignalsTheIPCServer)
{
    IPCServerTiming timing;
    timing.pollMs = 10;
    timing.stopStepMs = 10;
    timing.stopSteps = 200;
    agent_->setIPCServerTiming(timing);
    std::string name = "AgentTest_" + std::to_string(Platform::currentProcessId());
    ASSERT_TRUE(agent_->createIPCServer(name, [](const std::string&, const std::string&, const std::string&,
                                                 const std::string&) {}));
    ASSERT_FALSE(agent_->ipcServer().isNull());
    sink_->clear();
    agent_->stopThreads();
    EXPECT_TRUE(hasText("   1 thread(s) signalled to stop, 0 killed."));
    // Asked only: the listener ends by itself, nobody waited for it.
    EXPECT_TRUE(Testing::waitFor([&] { return agent_->ipcServer()->listenerExited(); }));
}

} // namespace
