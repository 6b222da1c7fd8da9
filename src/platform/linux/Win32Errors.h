#pragma once

#include <cstdint>

namespace Telvar {
namespace Platform {

// The Win32 error number that stands for an errno value (0 for 0); the
// layer above speaks only Win32 numbers. Unlisted values map to
// ERROR_GEN_FAILURE (31).
uint32_t win32ErrorFromErrno(int error);

} // namespace Platform
} // namespace Telvar
