#include "support/ScopedTimeZone.h"

#include "common/DateTime.h"
#include "platform/Process.h"

namespace Telvar {
namespace Testing {

ScopedTimeZone::ScopedTimeZone(const std::string& zone)
    : had_(Platform::hasEnvironmentVariable("TZ")), old_(Platform::environmentVariable("TZ"))
{
    set(zone);
}

ScopedTimeZone::~ScopedTimeZone()
{
    if (had_)
        Platform::setEnvironmentVariable("TZ", old_);
    else
        Platform::unsetEnvironmentVariable("TZ");
    DateTime::reloadTimeZone();
}

void ScopedTimeZone::set(const std::string& zone)
{
    Platform::setEnvironmentVariable("TZ", zone);
    DateTime::reloadTimeZone();
}

} // namespace Testing
} // namespace Telvar
