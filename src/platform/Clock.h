#pragma once

#include <cstdint>

namespace Telvar {
namespace Platform {

// Current wall-clock time as whole seconds since 1970-01-01 00:00:00 UTC.
int64_t currentTimeSeconds();
// The same in milliseconds.
int64_t currentTimeMilliseconds();

// A steadily increasing millisecond count, unaffected by clock changes.
int64_t monotonicMilliseconds();

// Blocks the calling thread for about ms milliseconds (nothing when ms <= 0).
void sleepMilliseconds(int ms);

} // namespace Platform
} // namespace Telvar
