#include "common/Clock.h"

#include <atomic>

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace Telvar {

namespace {

class SystemClock : public Clock {
public:
    int64_t nowSeconds() override { return Platform::currentTimeSeconds(); }
    int64_t monotonicMilliseconds() override { return Platform::monotonicMilliseconds(); }
    void sleepMilliseconds(int ms) override
    {
        if (ms > 0)
            Platform::threadSleep(static_cast<uint32_t>(ms));
    }
};

std::atomic<Clock*> g_installed{nullptr};

} // namespace

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
