#include "platform/NamedMutex.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

namespace {

// The name is bound in the abstract socket namespace: the kernel drops the
// binding when the last descriptor closes, so a dead holder, also one killed
// with SIGKILL, leaves nothing behind.
constexpr char PREFIX[] = "telvar.mutex/";

std::string socketName(const std::string& name)
{
    std::string full = std::string(PREFIX) + name;
    const size_t room = sizeof(sockaddr_un{}.sun_path) - 1;
    if (full.size() <= room)
        return full;
    // Too long: keep a head of the name and make it unique with a hash.
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char hex[17];
    for (int i = 0; i < 16; ++i)
        hex[i] = "0123456789abcdef"[(h >> (60 - 4 * i)) & 0xf];
    hex[16] = '\0';
    return full.substr(0, room - 17) + "#" + hex;
}

} // namespace

NamedMutexResult createNamedMutex(const std::string& name, NamedMutexHandle& handle)
{
    handle = INVALID_NAMED_MUTEX;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return NamedMutexResult::FAILED;
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::string bound = socketName(name);
    // sun_path[0] stays NUL: abstract namespace.
    std::memcpy(address.sun_path + 1, bound.data(), bound.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + bound.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        int e = errno;
        ::close(fd);
        return e == EADDRINUSE ? NamedMutexResult::ALREADY_EXISTS : NamedMutexResult::FAILED;
    }
    handle = static_cast<NamedMutexHandle>(fd);
    return NamedMutexResult::CREATED;
}

bool releaseNamedMutex(NamedMutexHandle handle)
{
    if (handle == INVALID_NAMED_MUTEX)
        return false;
    return ::close(static_cast<int>(handle)) == 0;
}

} // namespace Platform
} // namespace Telvar
