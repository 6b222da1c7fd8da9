#include "common/ThreadInstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/Exception.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"
#include "support/ManualClock.h"
#include "support/OpenFileCount.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::waitFor;

namespace {

// Shared between a test and its thread.
struct Shared {
    std::atomic<int> rounds{0};
    std::atomic<bool> leave{false};
    std::atomic<bool> guardReleased{false};
    std::mutex resource;
    int32_t result = 0;
};

struct Guard {
    explicit Guard(Shared& s) : shared(s), lock(s.resource) {}
    ~Guard() { shared.guardReleased = true; }
    Shared& shared;
    std::lock_guard<std::mutex> lock;
};

int32_t returnsResult(void* p) { return static_cast<Shared*>(p)->result; }

// Runs a message loop and ends with the quit message's exit code.
int32_t messageLoop(void* p)
{
    Shared& s = *static_cast<Shared*>(p);
    Guard guard(s);
    for (;;) {
        Platform::ThreadMessage m;
        while (Platform::peekThreadMessage(m))
            if (m.message == Platform::MSG_DESTROY)
                return static_cast<int32_t>(m.wParam) + 100;
        ++s.rounds;
        Platform::threadSleep(2);
    }
}

// Has a queue but never looks at it; holds the resource while it runs.
int32_t ignoresMessages(void* p)
{
    Shared& s = *static_cast<Shared*>(p);
    Platform::ensureThreadMessageQueue();
    Guard guard(s);
    while (!s.leave) {
        ++s.rounds;
        Platform::threadSleep(2);
    }
    return 0;
}

// No queue at all.
int32_t sleeper(void* p)
{
    Shared& s = *static_cast<Shared*>(p);
    Guard guard(s);
    while (!s.leave) {
        ++s.rounds;
        Platform::threadSleep(2);
    }
    return 3;
}

// Never reaches a wait point of the platform.
int32_t spinner(void* p)
{
    Shared& s = *static_cast<Shared*>(p);
    while (!s.leave)
        s.rounds.fetch_add(1);
    return 4;
}

class ThreadInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { previousGrace_ = Platform::setTerminateGraceMilliseconds(100); }
    void TearDown() override
    {
        shared.leave = true;
        Platform::setTerminateGraceMilliseconds(previousGrace_);
    }

    // Counts the stop's sleeps and keeps them short.
    void countSleeps()
    {
        time_.reset(new Testing::ManualClock(Clock::system().nowSeconds()));
        time_->sleepWith([this](int ms) {
            EXPECT_EQ(50, ms);
            ++sleeps;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }

    Shared shared;
    std::atomic<int> sleeps{0};
    std::unique_ptr<Testing::ManualClock> time_;
    uint32_t previousGrace_ = 0;
};

TEST_F(ThreadInstanceTest, FreshInstanceIsNotStarted)
{
    ThreadInstance job(returnsResult, &shared);
    countSleeps();
    int32_t code = 77;
    EXPECT_EQ(JOB_NOT_STARTED, job.status());
    EXPECT_FALSE(job.stop());
    EXPECT_EQ(0, sleeps);
    EXPECT_EQ(JOB_NOT_STARTED, job.exitCode(code));
    EXPECT_EQ(77, code);
    try {
        job.suspend();
        FAIL() << "suspend on a fresh instance";
    } catch (const JobException& e) {
        EXPECT_EQ(JobException::JB_NEVER_STARTED, e.code());
        EXPECT_EQ("", e.message());
    }
    EXPECT_THROW(job.resume(), JobException);
}

TEST_F(ThreadInstanceTest, EndsByItselfAndDeliversItsExitCode)
{
    shared.result = 5;
    ThreadInstance job(returnsResult, &shared);
    ASSERT_TRUE(job.execute());
    EXPECT_NE(0u, job.threadId());
    ASSERT_TRUE(waitFor([&] { return job.status() == JOB_ENDED; }));
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(5, code);
    EXPECT_EQ(0u, job.suspend());
    EXPECT_FALSE(job.stop());
    EXPECT_EQ(JOB_ENDED, job.status());
}

TEST_F(ThreadInstanceTest, QuitMessageStopsThreadWithinTheWait)
{
    ThreadInstance job(messageLoop, &shared);
    countSleeps();
    job.execute();
    int32_t code = 0;
    EXPECT_EQ(JOB_RUNNING, job.exitCode(code));
    // Posting only works once the thread has looked at its queue.
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_TRUE(job.stop(false, 9, 1000));
    EXPECT_EQ(JOB_STOPPED, job.status());
    EXPECT_LT(sleeps, 20);
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(109, code);
    EXPECT_TRUE(shared.guardReleased);
    // Sticky: the stored status is answered without asking again.
    EXPECT_EQ(JOB_STOPPED, job.status());
    EXPECT_FALSE(job.stop());
}

TEST_F(ThreadInstanceTest, ThreadIgnoringTheQuitMessageIsKilledAfterTwentySleeps)
{
    ThreadInstance job(ignoresMessages, &shared);
    countSleeps();
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_TRUE(job.stop());
    EXPECT_EQ(20, sleeps);
    EXPECT_EQ(JOB_KILLED, job.status());
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(-1, code);
    // Ended at its sleep: the guard let go of the resource.
    EXPECT_TRUE(shared.guardReleased);
    EXPECT_TRUE(shared.resource.try_lock());
    shared.resource.unlock();
}

TEST_F(ThreadInstanceTest, ThreadWithoutQueueIsTerminatedAtOnce)
{
    ThreadInstance job(sleeper, &shared);
    countSleeps();
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_TRUE(job.stop(false, 21, 1000));
    EXPECT_EQ(0, sleeps);
    EXPECT_EQ(JOB_KILLED, job.status());
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(21, code);
    EXPECT_TRUE(shared.guardReleased);
}

TEST_F(ThreadInstanceTest, ForcedStopTerminatesWithoutAsking)
{
    ThreadInstance job(messageLoop, &shared);
    countSleeps();
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_TRUE(job.stop(true, 42, 1000));
    EXPECT_EQ(0, sleeps);
    EXPECT_EQ(JOB_KILLED, job.status());
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    // Killed, so not the +100 of an orderly quit.
    EXPECT_EQ(42, code);
}

TEST_F(ThreadInstanceTest, ThreadThatNeverWaitsIsStillEnded)
{
    ThreadInstance job(spinner, &shared);
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_TRUE(job.stop(true, 7, 0));
    EXPECT_EQ(JOB_KILLED, job.status());
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(7, code);
    int before = shared.rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(before, shared.rounds.load());
}

#ifdef __linux__
// top -H and ps -L read the name here; the kernel keeps 15 bytes of it.
TEST_F(ThreadInstanceTest, NamedThreadIsNamedForTheSystem)
{
    ThreadInstance job(messageLoop, &shared);
    job.setName("writer:ALongSchemeName");
    ASSERT_TRUE(job.execute());
    std::ifstream comm("/proc/self/task/" + std::to_string(job.threadId()) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ("writer:ALongSch", name);
    EXPECT_TRUE(job.stop());
    EXPECT_EQ(Platform::ERR_INVALID_HANDLE, Platform::setThreadName(Platform::INVALID_THREAD_HANDLE, "x"));
}
#endif

TEST_F(ThreadInstanceTest, SuspendAndResumeCount)
{
    ThreadInstance job(sleeper, &shared);
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_EQ(1u, job.suspend());
    EXPECT_EQ(2u, job.suspend());
    // Held at its next sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int held = shared.rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(held, shared.rounds.load());
    EXPECT_EQ(JOB_RUNNING, job.status());
    EXPECT_EQ(2u, job.resume());
    EXPECT_EQ(1u, job.resume());
    EXPECT_EQ(0u, job.resume());
    EXPECT_TRUE(waitFor([&] { return shared.rounds > held + 3; }));
}

// Busy between checkpoints, never sleeping: a checkpoint holds it while
// suspended, lets it go on when resumed, and ends it when asked to.
int32_t checkpointer(void* p)
{
    Shared& s = *static_cast<Shared*>(p);
    Guard guard(s);
    while (!s.leave) {
        ++s.rounds;
        Platform::threadCheckpoint();
    }
    return 5;
}

TEST_F(ThreadInstanceTest, ACheckpointHonoursSuspensionAndEnd)
{
    ThreadInstance job(checkpointer, &shared);
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 1000; }));
    EXPECT_EQ(1u, job.suspend());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int held = shared.rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LE(shared.rounds.load(), held + 1);
    EXPECT_EQ(1u, job.resume());
    EXPECT_TRUE(waitFor([&] { return shared.rounds > held + 1000; }));
    EXPECT_TRUE(job.stop(true, 9, 5000));
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(9, code);
    EXPECT_TRUE(shared.guardReleased);
}

TEST_F(ThreadInstanceTest, SuspendedThreadCanBeKilled)
{
    ThreadInstance job(sleeper, &shared);
    job.execute();
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    job.suspend();
    EXPECT_TRUE(job.stop(true, 8, 0));
    int32_t code = 0;
    EXPECT_EQ(JOB_EXIT_CODE, job.exitCode(code));
    EXPECT_EQ(8, code);
    EXPECT_TRUE(shared.guardReleased);
}

TEST_F(ThreadInstanceTest, DestroyingARunningInstanceEndsItsThread)
{
    size_t handles = Platform::openThreadHandleCount();
    {
        ThreadInstance job(sleeper, &shared);
        job.execute();
        ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
        EXPECT_EQ(handles + 1, Platform::openThreadHandleCount());
    }
    EXPECT_TRUE(shared.guardReleased);
    EXPECT_EQ(handles, Platform::openThreadHandleCount());
}

TEST_F(ThreadInstanceTest, ExecuteWhileRunningIsRefused)
{
    ThreadInstance job(sleeper, &shared);
    job.execute();
    uint32_t first = job.threadId();
    try {
        job.execute();
        FAIL() << "second execute while running";
    } catch (const JobException& e) {
        EXPECT_EQ(JobException::JB_STILL_RUNNING, e.code());
    }
    EXPECT_EQ(first, job.threadId());
    EXPECT_TRUE(job.stop(true, 0, 0));
}

TEST_F(ThreadInstanceTest, StartFailureCarriesTheErrorNumber)
{
    ThreadInstance job(nullptr, nullptr);
    try {
        job.execute();
        FAIL() << "execute without routine";
    } catch (const JobException& e) {
        EXPECT_EQ(JobException::JB_UNABLE_TO_START, e.code());
        EXPECT_EQ("Win32 error code is : 87", e.message());
        ASSERT_FALSE(e.trace().empty());
        EXPECT_EQ("ThreadInstance", e.trace().front().module);
    }
    EXPECT_EQ(JOB_NOT_STARTED, job.status());
}

TEST_F(ThreadInstanceTest, ReExecutingManyTimesLeaksNothing)
{
    ThreadInstance job(messageLoop, &shared);
    countSleeps();
    // Warm up once so lazily made process-wide state is not counted.
    job.execute();
    job.stop(true, 0, 0);
    size_t fds = Telvar::Test::openFileCount();
    size_t handles = Platform::openThreadHandleCount();
    size_t records = Platform::liveThreadRecordCount();
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(job.execute());
        ASSERT_EQ(JOB_RUNNING, job.status());
        if (i % 3 == 0) {
            ASSERT_TRUE(job.stop(true, i, 0));
        } else {
            ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
            // Generous: on a loaded machine a second may pass before the
            // thread sees its quit message, and it would then be killed.
            ASSERT_TRUE(job.stop(false, i, 10000));
            ASSERT_EQ(JOB_STOPPED, job.status());
        }
        shared.rounds = 0;
    }
    EXPECT_EQ(fds, Telvar::Test::openFileCount());
    EXPECT_EQ(handles, Platform::openThreadHandleCount());
    // The last thread's record is kept while its handle is open.
    EXPECT_EQ(records, Platform::liveThreadRecordCount());
}

TEST(ThreadPlatformTest, PostingNeedsAQueueAndALiveThread)
{
    Shared shared;
    Platform::ThreadHandle handle = 0;
    Platform::ThreadId id = 0;
    ASSERT_EQ(Platform::ERR_SUCCESS, Platform::createThread(sleeper, &shared, handle, id));
    ASSERT_TRUE(waitFor([&] { return shared.rounds > 0; }));
    EXPECT_EQ(Platform::ERR_INVALID_THREAD_ID, Platform::postThreadMessage(id, 1234, 0, 0));
    shared.leave = true;
    bool active = true;
    int32_t code = 0;
    ASSERT_TRUE(waitFor([&] {
        return Platform::threadExitCode(handle, active, code) == Platform::ERR_SUCCESS && !active;
    }));
    EXPECT_EQ(3, code);
    EXPECT_EQ(Platform::ERR_SUCCESS, Platform::closeThreadHandle(handle));
    EXPECT_EQ(Platform::ERR_INVALID_HANDLE, Platform::threadExitCode(handle, active, code));
    EXPECT_EQ(Platform::ERR_INVALID_HANDLE, Platform::closeThreadHandle(handle));
}

TEST(ThreadPlatformTest, OwnQueueOfAThreadNotCreatedHere)
{
    std::atomic<uint32_t> id{0};
    std::atomic<bool> ready{false};
    int32_t result = 99;
    std::thread other([&] {
        Platform::ensureThreadMessageQueue();
        Platform::ThreadMessage probe;
        Platform::peekThreadMessage(probe);
        id = Platform::currentThreadId();
        ready = true;
        Platform::ThreadMessage m;
        int got;
        while ((got = Platform::getThreadMessage(m)) != 0)
            EXPECT_EQ(16u, m.message);
        result = static_cast<int32_t>(m.wParam);
    });
    ASSERT_TRUE(waitFor([&] { return ready.load(); }));
    EXPECT_EQ(Platform::ERR_SUCCESS, Platform::postThreadMessage(id, Platform::MSG_CLOSE, 0, 0));
    EXPECT_EQ(Platform::ERR_SUCCESS, Platform::postThreadMessage(id, Platform::MSG_QUIT, 12, 0));
    other.join();
    EXPECT_EQ(12, result);
    EXPECT_EQ(Platform::ERR_INVALID_THREAD_ID, Platform::postThreadMessage(id, Platform::MSG_QUIT, 0, 0));
}

TEST(ThreadPlatformTest, WaitForMessageTimesOut)
{
    Platform::ThreadMessage m;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, Platform::waitThreadMessage(m, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    Platform::postQuitMessage(4);
    EXPECT_EQ(0, Platform::waitThreadMessage(m, 30));
    EXPECT_EQ(4, m.wParam);
}

} // namespace
