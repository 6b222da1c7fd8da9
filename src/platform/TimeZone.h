#pragma once

#include <cstdint>

namespace Telvar {
namespace Platform {

// The host's offset from UTC, in seconds east, at the given UTC moment
// (standard offset plus daylight saving when it applies then). Follows
// changes of the host's zone setting (the TZ variable on Linux).
int32_t localOffsetSeconds(int64_t utcSeconds);

// Makes the time-zone data current; called once before the first use.
void initialiseTimeZone();

} // namespace Platform
} // namespace Telvar
