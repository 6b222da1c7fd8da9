#pragma once

#include <atomic>
#include <cstdint>

namespace Telvar {

// A thread's doorbell: the thread sleeps on it through
// Clock::sleepUnlessWoken and others cut that sleep short with Clock::wake,
// so a thread with nothing to do sleeps until it is needed instead of
// looking every few hundred milliseconds. A ring while the thread is awake
// is kept for its next sleep, so no ring is lost between a look and a sleep.
// Every doorbell of a group can be rung at once (wakeGroup); wakeAll rings
// them all (a quit).
class Wakeup {
public:
    Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    ~Wakeup();

    void setGroup(int group) { group_ = group; }
    int group() const { return group_.load(); }

    static void wakeGroup(int group);
    static void wakeAll();

    // For clocks: a ring is noted, taken, and the sleeping thread's id.
    void ring() { pending_ = true; }
    bool take() { return pending_.exchange(false); }
    void setWaiter(uint32_t threadId) { waiter_ = threadId; }
    uint32_t waiter() const { return waiter_.load(); }

private:
    std::atomic<bool> pending_{false};
    std::atomic<uint32_t> waiter_{0};
    std::atomic<int> group_{0};
};

} // namespace Telvar
