#pragma once

// A simulated clock for tests of threads that read the time with
// DateTime::now() and wait with DateTime::sleepMilliseconds().
//
// While running, exactly one of the sleeping threads is let go at a time:
// the one due first (ties in the order they fell asleep). The clock moves
// to its wake-up time only once every expected thread is asleep, so a run
// is the same on a loaded machine as on an idle one. Between runs every
// thread sleeps and the test may look at files and change the wall clock.
//
//   VirtualTime vt(start);          // installs itself as the clock
//   vt.expect(3);                   // poller and two writers
//   ... start the threads ...
//   ASSERT_TRUE(vt.runFor(90000));  // 90 simulated seconds
//   ... inspect ...
//   agent.requestQuit(); vt.release(); ... join ...
//
// A thread must not wait on something else while another holds the turn
// (a lock held across a sleep), or the run stalls and runFor reports it.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/Clock.h"

namespace Telvar {
namespace Test {

class VirtualTime : public Clock {
public:
    // Wall clock at the start, in seconds since 1970 (milliseconds 0).
    explicit VirtualTime(int64_t startSeconds);
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;
    // Releases the threads and puts back the clock it replaced.
    ~VirtualTime() override;

    // Number of threads that take part; time stands still until all of them
    // sleep. 0 (the default): every sleep returns at once and advances the
    // clock by its length, for single-threaded tests.
    void expect(int threads);

    // Lets the threads run for so many simulated milliseconds; false when
    // they did not get there within realTimeoutMs of real time.
    bool runFor(int64_t milliseconds, int realTimeoutMs = 60000);
    // Moves the wall clock (not the sleeps, which run on their own time).
    // Only between runs.
    void stepClock(int64_t milliseconds);

    // From now on sleeps return at once and advance the clock: the threads
    // run free and can see a quit request.
    void release();
    // Takes back a release between runs, once the released threads have
    // ended: new threads then run in turns again.
    void recapture();

    int64_t nowMilliseconds() const;
    int64_t nowSeconds() override { return nowMilliseconds() / 1000; }
    int64_t wallMilliseconds() override { return nowMilliseconds(); }
    // The simulated time passed, which only moves forward.
    int64_t monotonicMilliseconds() override;
    void sleepMilliseconds(int ms) override { sleep(ms, nullptr); }
    // A ring moves the sleeper's turn to the present.
    bool sleepUnlessWoken(int ms, Wakeup& wakeup) override { return sleep(ms, &wakeup); }
    void wake(Wakeup& wakeup) override;

private:
    bool sleep(int ms, Wakeup* wakeup);
    void schedule();  // with lock_ held

    mutable std::mutex lock_;
    std::condition_variable changed_;
    int64_t elapsed_ = 0;  // simulated time passed, drives the sleeps
    int64_t offset_;       // wall clock = offset_ + elapsed_
    int64_t target_ = 0;
    bool running_ = false;
    bool released_ = false;
    int expected_ = 0;
    uint64_t order_ = 0;
    // (wake time, order) of every sleeping thread.
    std::map<std::pair<int64_t, uint64_t>, std::thread::id> sleepers_;
    // The sleepers on a doorbell, by their key in sleepers_.
    std::map<Wakeup*, std::pair<int64_t, uint64_t>> doorbells_;
    bool turnTaken_ = false;
    std::thread::id turn_;
    Clock* previous_;
};

} // namespace Test
} // namespace Telvar
