#include "support/FileSizeLimit.h"

#include <csignal>

#include <sys/resource.h>

namespace Telvar {
namespace Testing {

FileSizeLimit::FileSizeLimit(uint64_t bytes)
{
    // Without this the kernel ends the process instead of failing the write.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    oldSoft_ = old.rlim_cur;
    oldHard_ = old.rlim_max;
    rlimit limit = old;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit old{};
    old.rlim_cur = oldSoft_;
    old.rlim_max = oldHard_;
    ::setrlimit(RLIMIT_FSIZE, &old);
}

} // namespace Testing
} // namespace Telvar
