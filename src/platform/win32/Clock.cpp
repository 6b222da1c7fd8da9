#include "platform/Clock.h"

#include <windows.h>

namespace Telvar {
namespace Platform {

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t EPOCH_DIFFERENCE = 116444736000000000LL;
}

int64_t currentTimeSeconds()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - EPOCH_DIFFERENCE) / 10000000LL;
}

int64_t currentTimeMilliseconds()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - EPOCH_DIFFERENCE) / 10000LL;
}

int64_t monotonicMilliseconds() { return static_cast<int64_t>(::GetTickCount64()); }

void sleepMilliseconds(int ms)
{
    if (ms > 0)
        ::Sleep(static_cast<DWORD>(ms));
}

} // namespace Platform
} // namespace Telvar
