#include "platform/ThreadId.h"

#include <windows.h>

namespace Telvar {
namespace Platform {

uint32_t currentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

} // namespace Platform
} // namespace Telvar
