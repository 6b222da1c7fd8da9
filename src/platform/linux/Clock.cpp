#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

namespace Telvar {
namespace Platform {

int64_t currentTimeSeconds()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

int64_t currentTimeMilliseconds()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t monotonicMilliseconds()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMilliseconds(int ms)
{
    if (ms <= 0)
        return;
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // Resume after signals until the full time has passed.
    while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

} // namespace Platform
} // namespace Telvar
