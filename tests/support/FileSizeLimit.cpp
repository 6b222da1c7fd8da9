#include "support/FileSizeLimit.h"

#include <csignal>

#ifdef _WIN32
#include <gtest/gtest.h>
#else
#include <sys/resource.h>
#endif

namespace Telvar {
namespace Testing {

#ifdef _WIN32

// Windows has no per-process file size limit: a case that needs one fails
// rather than pass without the full disk it meant to test.
FileSizeLimit::FileSizeLimit(uint64_t bytes) : oldSoft_(bytes), oldHard_(bytes)
{
    ADD_FAILURE() << "no file size limit on this system";
}

FileSizeLimit::~FileSizeLimit() = default;

#else

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

#endif // _WIN32

} // namespace Testing
} // namespace Telvar
