#include "platform/linux/ProcDirectory.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

constexpr long PROC_FS_MAGIC = 0x9fa0;
// pid_max is at most 2^22: longer names are not processes
constexpr size_t MAX_PID_DIGITS = 10;

bool pidOf(const char* name, int64_t& pid)
{
    int64_t v = 0;
    size_t n = 0;
    for (; name[n] != '\0'; ++n) {
        if (name[n] < '0' || name[n] > '9' || n == MAX_PID_DIGITS)
            return false;
        v = v * 10 + (name[n] - '0');
    }
    pid = v;
    return n > 0;
}

} // namespace

ProcDirectory::ProcDirectory(size_t bufferBytes)
    : size_(std::max<size_t>(bufferBytes, sizeof(struct dirent64))), buffer_(new char[size_])
{
}

ProcDirectory::~ProcDirectory() { forget(); }

void ProcDirectory::forget()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
}

int ProcDirectory::descriptor(const std::string& dir, bool& kept)
{
    kept = fd_ >= 0 && path_ == dir && ::lseek(fd_, 0, SEEK_SET) == 0;
    if (kept)
        return fd_;
    forget();
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct statfs fs;
    if (fd >= 0 && ::fstatfs(fd, &fs) == 0 && static_cast<long>(fs.f_type) == PROC_FS_MAGIC) {
        fd_ = fd;
        path_ = dir;
        kept = true;
    }
    return fd;
}

bool ProcDirectory::readAll(int fd)
{
    char* const buffer = buffer_.get();
    for (;;) {
        const ssize_t n = ::getdents64(fd, buffer, size_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        for (ssize_t at = 0; at < n;) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + offsetof(struct dirent64, d_reclen), sizeof length);
            int64_t pid = 0;
            if (pidOf(buffer + at + offsetof(struct dirent64, d_name), pid))
                pids_.push_back(pid);
            if (length == 0)
                return false;
            at += length;
        }
    }
}

bool ProcDirectory::list(const std::string& dir)
{
    pids_.clear();
    bool kept = false;
    const int fd = descriptor(dir, kept);
    if (fd < 0)
        return false;
    const bool ok = readAll(fd);
    if (!kept)
        ::close(fd);
    else if (!ok)
        forget();
    // procfs lists processes in id order; another file system need not
    if (!std::is_sorted(pids_.begin(), pids_.end()))
        std::sort(pids_.begin(), pids_.end());
    return ok;
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
