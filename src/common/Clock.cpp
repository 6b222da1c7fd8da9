#include "common/Clock.h"

#include <algorithm>
#include <atomic>

#include "common/Wakeup.h"

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace Telvar {

namespace {

class SystemClock : public Clock {
public:
    int64_t nowSeconds() override { return Platform::currentTimeSeconds(); }
    int64_t wallMilliseconds() override { return Platform::currentTimeMilliseconds(); }
    int64_t monotonicMilliseconds() override { return Platform::monotonicMilliseconds(); }
    void sleepMilliseconds(int ms) override
    {
        if (ms > 0)
            Platform::threadSleep(static_cast<uint32_t>(ms));
    }

    // Waits on the thread's message queue, which honours suspend and
    // termination requests as threadSleep does; a ring posts to it.
    bool sleepUnlessWoken(int ms, Wakeup& wakeup) override
    {
        Platform::ensureThreadMessageQueue();
        wakeup.setWaiter(Platform::currentThreadId());
        const int64_t end = monotonicMilliseconds() + std::max(ms, 0);
        for (;;) {
            if (wakeup.take())
                return true;
            const int64_t left = end - monotonicMilliseconds();
            if (left <= 0)
                return false;
            Platform::ThreadMessage message;
            Platform::waitThreadMessage(message, static_cast<uint32_t>(left));
        }
    }

    void wake(Wakeup& wakeup) override
    {
        wakeup.ring();
        const uint32_t waiter = wakeup.waiter();
        if (waiter != 0)
            Platform::postThreadMessage(waiter, Platform::MSG_WAKE, 0, 0);
    }
};

const int DOORBELL_LOOK_MS = 250;

std::atomic<Clock*> g_installed{nullptr};

} // namespace

bool Clock::sleepUnlessWoken(int ms, Wakeup& wakeup)
{
    for (int left = ms;; left -= DOORBELL_LOOK_MS) {
        if (wakeup.take())
            return true;
        if (left <= 0)
            return false;
        sleepMilliseconds(std::min(left, DOORBELL_LOOK_MS));
    }
}

void Clock::wake(Wakeup& wakeup) { wakeup.ring(); }

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}

Clock& Clock::current()
{
    Clock* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : system();
}

Clock* Clock::install(Clock* clock)
{
    if (clock == &system())
        clock = nullptr;
    return g_installed.exchange(clock, std::memory_order_acq_rel);
}

} // namespace Telvar
