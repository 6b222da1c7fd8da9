#pragma once

// A clock set by hand, installed as the program's clock for its lifetime
// (the clock it replaced comes back afterwards).
//
//   ManualClock clock(1700000000);      // DateTime::now() reads this
//   clock.sleepWith([](int) {});        // sleeps return at once
//
// Unless told otherwise, reads give the set time and sleeps really sleep,
// so waits bounded by real time keep working. readWith and sleepWith take
// over reads or sleeps (of every thread); they are set while no other thread
// uses the clock. No lock is taken on a read or a sleep: a thread ended by
// force in there must not leave the clock locked for the others.

#include <atomic>
#include <cstdint>
#include <functional>

#include "common/Clock.h"

namespace Telvar {
namespace Testing {

class ManualClock : public Clock {
public:
    explicit ManualClock(int64_t seconds = 0);
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;
    ~ManualClock() override;

    void set(int64_t seconds) { seconds_ = seconds; }
    void advance(int64_t seconds) { seconds_ += seconds; }
    int64_t seconds() const { return seconds_.load(); }

    void readWith(std::function<int64_t()> read);
    void sleepWith(std::function<void(int)> sleep);

    int64_t nowSeconds() override;
    int64_t monotonicMilliseconds() override;
    void sleepMilliseconds(int ms) override;

private:
    std::atomic<int64_t> seconds_;
    std::function<int64_t()> read_;
    std::function<void(int)> sleep_;
    Clock* previous_;
};

} // namespace Testing
} // namespace Telvar
