#pragma once

#include <cstdint>

namespace Telvar {

class Wakeup;

// The program's one source of time and its one way to wait. Every part of
// the program reads the time and sleeps through Clock::current(), so a test
// replaces time for the whole process in one place (install) and never per
// class. DateTime::now() and DateTime::sleepMilliseconds() are the usual
// ways in.
class Clock {
public:
    virtual ~Clock() = default;

    // Wall-clock time as whole seconds since 1970-01-01 00:00:00 UTC.
    virtual int64_t nowSeconds() = 0;
    // The same in milliseconds; by default whole seconds.
    virtual int64_t wallMilliseconds() { return nowSeconds() * 1000; }
    // A steadily increasing millisecond count for timeouts, unaffected by
    // changes of the wall clock.
    virtual int64_t monotonicMilliseconds() = 0;
    // Blocks the calling thread for about ms milliseconds (nothing when
    // ms <= 0). On a worker thread a request to suspend or end it takes
    // effect here.
    virtual void sleepMilliseconds(int ms) = 0;
    // As sleepMilliseconds, but returns early once wakeup is rung (at once
    // when it was rung since the last sleep on it): true when rung. The
    // default looks at the doorbell every quarter second.
    virtual bool sleepUnlessWoken(int ms, Wakeup& wakeup);
    // Rings wakeup, cutting short the sleep of the thread on it.
    virtual void wake(Wakeup& wakeup);

    // The clock in use: the installed one, else the host's.
    static Clock& current();
    // The host's clock.
    static Clock& system();
    // Makes clock the process-wide clock (nullptr: back to the host's) and
    // returns the one it replaces (nullptr when that was the host's). The
    // clock must outlive every thread that may still read it.
    static Clock* install(Clock* clock);
};

} // namespace Telvar
