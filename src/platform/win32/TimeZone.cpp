#include "platform/TimeZone.h"

#include <windows.h>

namespace Telvar {
namespace Platform {

namespace {

constexpr int64_t EPOCH_DIFFERENCE = 116444736000000000LL;

int64_t secondsOf(const SYSTEMTIME& st)
{
    FILETIME ft;
    if (!::SystemTimeToFileTime(&st, &ft))
        return 0;
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - EPOCH_DIFFERENCE) / 10000000LL;
}

} // namespace

int32_t localOffsetSeconds(int64_t utcSeconds)
{
    if (utcSeconds < 0)
        utcSeconds = 0;
    int64_t ticks = utcSeconds * 10000000LL + EPOCH_DIFFERENCE;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME utc, local;
    if (!::FileTimeToSystemTime(&ft, &utc))
        return 0;
    // A null zone is the active one, read afresh on every call, with the
    // daylight rules of that date's year.
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return 0;
    return static_cast<int32_t>(secondsOf(local) - secondsOf(utc));
}

void initialiseTimeZone() {}

} // namespace Platform
} // namespace Telvar
