#include "support/VirtualTime.h"

#include <chrono>

#include "common/Wakeup.h"


namespace Telvar {
namespace Test {

VirtualTime::VirtualTime(int64_t startSeconds) : offset_(startSeconds * 1000), previous_(Clock::install(this)) {}

VirtualTime::~VirtualTime()
{
    // The threads that used this clock must have ended by now.
    release();
    Clock::install(previous_);
}

int64_t VirtualTime::monotonicMilliseconds()
{
    std::lock_guard<std::mutex> hold(lock_);
    return elapsed_;
}

void VirtualTime::expect(int threads)
{
    std::lock_guard<std::mutex> hold(lock_);
    expected_ = threads;
}

int64_t VirtualTime::nowMilliseconds() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return offset_ + elapsed_;
}

void VirtualTime::stepClock(int64_t milliseconds)
{
    std::lock_guard<std::mutex> hold(lock_);
    offset_ += milliseconds;
}

void VirtualTime::release()
{
    std::lock_guard<std::mutex> hold(lock_);
    released_ = true;
    running_ = false;
    changed_.notify_all();
}

void VirtualTime::recapture()
{
    std::lock_guard<std::mutex> hold(lock_);
    released_ = false;
    turnTaken_ = false;
    sleepers_.clear();
    doorbells_.clear();
}

bool VirtualTime::runFor(int64_t milliseconds, int realTimeoutMs)
{
    std::unique_lock<std::mutex> hold(lock_);
    target_ = elapsed_ + milliseconds;
    running_ = true;
    schedule();
    bool reached = changed_.wait_for(hold, std::chrono::milliseconds(realTimeoutMs),
                                     [this] { return !running_; });
    running_ = false;
    return reached && !released_;
}

void VirtualTime::schedule()
{
    if (!running_ || released_ || turnTaken_)
        return;
    if (static_cast<int>(sleepers_.size()) < expected_ || sleepers_.empty())
        return;
    auto first = sleepers_.begin();
    if (first->first.first > target_) {
        // Everybody sleeps past the end of the run.
        if (elapsed_ < target_)
            elapsed_ = target_;
        running_ = false;
        changed_.notify_all();
        return;
    }
    if (elapsed_ < first->first.first)
        elapsed_ = first->first.first;
    turn_ = first->second;
    turnTaken_ = true;
    sleepers_.erase(first);
    changed_.notify_all();
}

void VirtualTime::wake(Wakeup& wakeup)
{
    std::lock_guard<std::mutex> hold(lock_);
    wakeup.ring();
    auto bell = doorbells_.find(&wakeup);
    if (bell == doorbells_.end())
        return;
    auto sleeper = sleepers_.find(bell->second);
    if (sleeper != sleepers_.end() && bell->second.first > elapsed_) {
        const std::thread::id who = sleeper->second;
        sleepers_.erase(sleeper);
        bell->second = std::make_pair(elapsed_, order_++);
        sleepers_[bell->second] = who;
    }
    schedule();
}

bool VirtualTime::sleep(int ms, Wakeup* wakeup)
{
    if (ms < 0)
        ms = 0;
    std::unique_lock<std::mutex> hold(lock_);
    if (wakeup != nullptr && wakeup->take())
        return true;
    if (released_ || expected_ == 0) {
        elapsed_ += ms;
        bool yield = released_;
        hold.unlock();
        // Free-running threads must not spin a core while they wind down.
        if (yield)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return wakeup != nullptr && wakeup->take();
    }
    const std::thread::id me = std::this_thread::get_id();
    if (turnTaken_ && turn_ == me)
        turnTaken_ = false;
    std::pair<int64_t, uint64_t> key(elapsed_ + ms, order_++);
    sleepers_[key] = me;
    if (wakeup != nullptr)
        doorbells_[wakeup] = key;
    schedule();
    changed_.wait(hold, [&] { return released_ || (turnTaken_ && turn_ == me); });
    if (wakeup != nullptr) {
        key = doorbells_[wakeup];
        doorbells_.erase(wakeup);
    }
    sleepers_.erase(key);
    return wakeup != nullptr && wakeup->take();
}

} // namespace Test
} // namespace Telvar
