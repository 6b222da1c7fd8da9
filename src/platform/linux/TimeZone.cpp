#include "platform/TimeZone.h"

#include <ctime>

namespace Telvar {
namespace Platform {

int32_t localOffsetSeconds(int64_t utcSeconds)
{
    // tzset re-reads TZ only when its value changed, so this stays cheap and
    // still follows a zone switched at run time.
    ::tzset();
    time_t t = static_cast<time_t>(utcSeconds);
    struct tm parts;
    if (::localtime_r(&t, &parts) == nullptr)
        return 0;
    return static_cast<int32_t>(parts.tm_gmtoff);
}

void initialiseTimeZone()
{
    ::tzset();
}

} // namespace Platform
} // namespace Telvar
