#include "platform/NamedMutex.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/SystemError.h"
#include "platform/linux/RuntimeDirectory.h"

namespace Telvar {
namespace Platform {

namespace {

// A named mutex is an exclusive flock on a file in the runtime directory
// (RuntimeDirectory.h): the kernel drops it when the last descriptor closes,
// so a dead holder, also one killed with SIGKILL, leaves nothing held; and
// another account can neither open the file nor make one of its own there.
const char LOCK_SUFFIX[] = ".lock";
constexpr int MAX_ATTEMPTS = 100;

} // namespace

NamedMutexResult createNamedMutex(const std::string& name, NamedMutexHandle& handle)
{
    handle = INVALID_NAMED_MUTEX;
    Runtime::Directory directory;
    if (Runtime::openOwnDirectory(directory) != ERR_SUCCESS)
        return NamedMutexResult::FAILED;
    const std::string file = Runtime::fileName(name, LOCK_SUFFIX);
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        int fd = ::openat(directory.fd(), file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return NamedMutexResult::FAILED;
        // Each open is its own holder, also within one process.
        int rc;
        while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            int e = errno;
            ::close(fd);
            return e == EWOULDBLOCK ? NamedMutexResult::ALREADY_EXISTS : NamedMutexResult::FAILED;
        }
        // The holder before us may have removed the file between our open
        // and our lock: then the lock is on a file nobody else will see.
        struct stat held;
        struct stat named;
        if (::fstat(fd, &held) == 0 && ::fstatat(directory.fd(), file.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            // The holder's PID, for a process that finds the name taken.
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                // Only the holder's name is lost; the lock stands.
            }
            handle = static_cast<NamedMutexHandle>(fd);
            return NamedMutexResult::CREATED;
        }
        ::close(fd);
    }
    return NamedMutexResult::FAILED;
}

bool namedMutexHolder(const std::string& name, uint32_t& processId)
{
    Runtime::Directory directory;
    if (Runtime::openOwnDirectory(directory) != ERR_SUCCESS)
        return false;
    const std::string file = Runtime::fileName(name, LOCK_SUFFIX);
    int fd = ::openat(directory.fd(), file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char text[16] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    // Held only while a lock is on it; a lock we can take means no holder.
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    uint32_t pid = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
        pid = pid * 10 + static_cast<uint32_t>(text[i] - '0');
    if (!held || pid == 0)
        return false;
    processId = pid;
    return true;
}

bool releaseNamedMutex(NamedMutexHandle handle)
{
    if (handle == INVALID_NAMED_MUTEX)
        return false;
    // Still held: nobody else can be using the file, so it can go.
    char path[4096];
    std::string link = "/proc/self/fd/" + std::to_string(handle);
    ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    if (n > 0) {
        path[n] = '\0';
        ::unlink(path);
    }
    return ::close(static_cast<int>(handle)) == 0;
}

} // namespace Platform
} // namespace Telvar
