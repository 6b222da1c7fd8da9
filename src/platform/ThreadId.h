#pragma once

#include <cstdint>

namespace Telvar {
namespace Platform {

// Numeric identifier of the calling thread, as the OS reports it.
uint32_t currentThreadId();

} // namespace Platform
} // namespace Telvar
