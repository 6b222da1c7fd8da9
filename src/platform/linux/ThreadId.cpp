#include "platform/ThreadId.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

uint32_t currentThreadId()
{
    // Not cached per thread: a forked child keeps the parent's thread-locals
    // but runs under a new id.
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

} // namespace Platform
} // namespace Telvar
