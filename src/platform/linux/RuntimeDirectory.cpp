#include "platform/linux/RuntimeDirectory.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/SystemError.h"

namespace Telvar {
namespace Platform {
namespace Runtime {

namespace {

constexpr mode_t ROOT_MODE = 0755;
constexpr mode_t USERS_MODE = 01777;
constexpr mode_t ACCOUNT_MODE = 0711;
constexpr mode_t PRIVATE_MODE = 0700;
constexpr size_t PLAIN_NAME_MAX = 64;
constexpr size_t HASHED_HEAD = 40;
const char USERS[] = "users";
const char CREATION_LOCK[] = "~create";

bool plainCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

std::string hexHash(const std::string& text)
{
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    std::string hex(16, '0');
    for (int i = 0; i < 16; ++i)
        hex[static_cast<size_t>(i)] = "0123456789abcdef"[(h >> (60 - 4 * i)) & 0xf];
    return hex;
}

// A directory made by this process: created with mode when missing (the
// umask must not narrow it), then checked to be a real directory of owner.
bool makeDirectory(const std::string& path, mode_t mode, uid_t owner)
{
    if (::mkdir(path.c_str(), mode) == 0)
        ::chmod(path.c_str(), mode);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return st.st_uid == owner;
}

// A directory others may rely on: a real directory nobody but its owner can write.
bool trustworthy(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool defaultRootUsable(const std::string& root)
{
    struct stat st;
    if (::lstat(root.c_str(), &st) == 0)
        return true;
    if (::geteuid() == 0)
        return true;
    // The parent (/run) is root's: try, and fall back when it is refused.
    if (::mkdir(root.c_str(), ROOT_MODE) == 0) {
        ::chmod(root.c_str(), ROOT_MODE);
        return true;
    }
    return false;
}

std::string fallbackRoot() { return "/tmp/telvar-" + std::to_string(::geteuid()); }

// The root directory checked; st receives its status. Makes it when allowed.
uint32_t openRoot(Directory& directory, struct stat& st, bool create)
{
    const std::string root = rootPath();
    bool fallback = root == fallbackRoot();
    if (create) {
        if (::mkdir(root.c_str(), fallback ? PRIVATE_MODE : ROOT_MODE) == 0)
            ::chmod(root.c_str(), fallback ? PRIVATE_MODE : ROOT_MODE);
    }
    if (::lstat(root.c_str(), &st) != 0)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_FILE_NOT_FOUND;
    if (!trustworthy(st) || (fallback && st.st_uid != ::geteuid()))
        return ERR_ACCESS_DENIED;
    // A directory made by someone else (a service manager) may lack the
    // accounts' part: its owner adds it.
    if (create && !fallback && ::geteuid() == st.st_uid) {
        std::string users = root + "/" + USERS;
        if (::mkdir(users.c_str(), USERS_MODE) == 0)
            ::chmod(users.c_str(), USERS_MODE);
    }
    if (!directory.open(root))
        return ERR_ACCESS_DENIED;
    return ERR_SUCCESS;
}

bool privileged(const struct stat& root) { return ::geteuid() == 0 || ::geteuid() == root.st_uid; }

// A socket or lock file made by the account that owns dir.
bool fileOf(int dirFd, const std::string& file, uid_t owner, uid_t alsoAllowed)
{
    struct stat st;
    if (::fstatat(dirFd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return false;
    return st.st_uid == owner || st.st_uid == alsoAllowed;
}

bool numeric(const char* text, uid_t& value)
{
    if (*text == '\0')
        return false;
    uint64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || v > 0xffffffffULL)
            return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    value = static_cast<uid_t>(v);
    return v <= 0xffffffffULL;
}

} // namespace

Directory::~Directory()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Directory::open(const std::string& path)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    path_ = path;
    return fd_ >= 0;
}

void Directory::address(const std::string& file, sockaddr_un& out, socklen_t& length) const
{
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    std::string path = path_ + "/" + file;
    if (path.size() >= sizeof out.sun_path)
        path = "/proc/self/fd/" + std::to_string(fd_) + "/" + file;
    // fileName keeps file short enough for the second form to fit.
    size_t n = std::min(path.size(), sizeof out.sun_path - 1);
    std::memcpy(out.sun_path, path.data(), n);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
}

std::string rootPath()
{
    const char* configured = std::getenv(ENVIRONMENT_VARIABLE);
    if (configured != nullptr && *configured != '\0')
        return configured;
    return defaultRootUsable(DEFAULT_DIRECTORY) ? std::string(DEFAULT_DIRECTORY) : fallbackRoot();
}

bool mayCreate(const std::string& name)
{
    if (name.compare(0, std::strlen(RESERVED_PREFIX), RESERVED_PREFIX) != 0)
        return true;
    Directory root;
    struct stat st;
    if (openRoot(root, st, true) != ERR_SUCCESS)
        return true;  // the failure shows when the directory is opened
    return privileged(st);
}

uint32_t openOwnDirectory(Directory& directory)
{
    Directory root;
    struct stat st;
    uint32_t error = openRoot(root, st, true);
    if (error != ERR_SUCCESS)
        return error;
    if (privileged(st))
        return directory.open(root.path()) ? ERR_SUCCESS : ERR_ACCESS_DENIED;
    const std::string users = root.path() + "/" + USERS;
    struct stat us;
    if (::lstat(users.c_str(), &us) != 0 || !S_ISDIR(us.st_mode) || (us.st_mode & S_ISVTX) == 0 ||
        us.st_uid != st.st_uid)
        return ERR_ACCESS_DENIED;
    const std::string own = users + "/" + std::to_string(::geteuid());
    if (!makeDirectory(own, ACCOUNT_MODE, ::geteuid()))
        return ERR_ACCESS_DENIED;
    struct stat os;
    if (::lstat(own.c_str(), &os) != 0 || !trustworthy(os))
        return ERR_ACCESS_DENIED;
    return directory.open(own) ? ERR_SUCCESS : ERR_ACCESS_DENIED;
}

uint32_t findHolder(const std::string& name, const std::string& file, Directory& directory)
{
    Directory root;
    struct stat st;
    uint32_t error = openRoot(root, st, false);
    if (error != ERR_SUCCESS)
        return ERR_FILE_NOT_FOUND;
    if (fileOf(root.fd(), file, st.st_uid, 0))
        return directory.open(root.path()) ? ERR_SUCCESS : ERR_ACCESS_DENIED;
    if (name.compare(0, std::strlen(RESERVED_PREFIX), RESERVED_PREFIX) == 0)
        return ERR_FILE_NOT_FOUND;
    const std::string users = root.path() + "/" + USERS;
    DIR* list = ::opendir(users.c_str());
    if (list == nullptr)
        return ERR_FILE_NOT_FOUND;
    std::vector<std::string> found;
    while (dirent* entry = ::readdir(list)) {
        uid_t uid = 0;
        if (!numeric(entry->d_name, uid))
            continue;
        const std::string account = users + "/" + entry->d_name;
        struct stat as;
        if (::lstat(account.c_str(), &as) != 0 || !trustworthy(as) || as.st_uid != uid)
            continue;
        Directory candidate;
        if (candidate.open(account) && fileOf(candidate.fd(), file, uid, uid))
            found.push_back(account);
    }
    ::closedir(list);
    if (found.empty())
        return ERR_FILE_NOT_FOUND;
    if (found.size() > 1)
        return ERR_ACCESS_DENIED;
    return directory.open(found.front()) ? ERR_SUCCESS : ERR_ACCESS_DENIED;
}

std::string fileName(const std::string& name, const char* suffix)
{
    bool plain = !name.empty() && name.size() <= PLAIN_NAME_MAX && name[0] != '.';
    for (char c : name)
        plain = plain && plainCharacter(c);
    if (plain)
        return name + suffix;
    // '~' never occurs in a plain name, so a hashed name meets no plain one.
    std::string head = name.substr(0, HASHED_HEAD);
    for (char& c : head)
        if (!plainCharacter(c))
            c = '_';
    return head + "~" + hexHash(name) + suffix;
}

CreationLock::CreationLock(const Directory& directory)
{
    fd_ = ::openat(directory.fd(), CREATION_LOCK, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

CreationLock::~CreationLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace Runtime
} // namespace Platform
} // namespace Telvar
