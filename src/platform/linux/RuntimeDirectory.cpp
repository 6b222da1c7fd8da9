#include "platform/linux/RuntimeDirectory.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/SystemError.h"
#include "platform/TextHash.h"

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

// A directory of this account alone (a runtime directory the system made).
bool ownPrivateDirectory(const std::string& path)
{
    struct stat st;
    return !path.empty() && path[0] == '/' && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

std::string homeDirectory()
{
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* result = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/')
        return result->pw_dir;
    return std::string();
}

// Where an account other than root keeps its names when the installation's
// directory does not exist: a directory of its own that no other account
// could have made first.
std::string privateRoot()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && ownPrivateDirectory(xdg))
        return std::string(xdg) + "/telvar";
    const std::string system = "/run/user/" + std::to_string(::geteuid());
    if (ownPrivateDirectory(system))
        return system + "/telvar";
    const std::string home = homeDirectory();
    if (home.empty())
        return std::string();
    const std::string parent = home + "/.telvar";
    if (::mkdir(parent.c_str(), PRIVATE_MODE) == 0)
        ::chmod(parent.c_str(), PRIVATE_MODE);
    return parent + "/run";
}

bool isPrivateRoot(const std::string& root)
{
    const char* configured = std::getenv(ENVIRONMENT_VARIABLE);
    return ::geteuid() != 0 && (configured == nullptr || *configured == '\0') && root != DEFAULT_DIRECTORY;
}

// A runtime directory not owned by root or this account is trusted only
// when root handed it over: its parent is root's and nobody else's to write,
// so that no account could have made it first.
bool ownerTrusted(const std::string& root, const struct stat& st)
{
    if (st.st_uid == 0 || st.st_uid == ::geteuid())
        return true;
    std::string parent = root.substr(0, root.find_last_of('/'));
    if (parent.empty())
        parent = "/";
    struct stat ps;
    return ::lstat(parent.c_str(), &ps) == 0 && S_ISDIR(ps.st_mode) && ps.st_uid == 0 &&
           (ps.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

thread_local std::string refusal;

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Records why a directory is not used; answers ERR_ACCESS_DENIED.
uint32_t refuse(const char* what, const std::string& path, const struct stat& st, const char* expected)
{
    refusal = std::string(what) + " " + path + " (owner uid " + std::to_string(st.st_uid) + ", mode " +
              octal(st.st_mode) + (S_ISDIR(st.st_mode) ? "" : ", not a directory") + ") is not used: " + expected;
    return ERR_ACCESS_DENIED;
}

// A private runtime directory is only as private as the one it lies in:
// the account (or root) alone may write there, or another account could
// swap it for one of its own.
uint32_t checkPrivateParent(const std::string& root)
{
    std::string parent = root.substr(0, root.find_last_of('/'));
    struct stat ps;
    if (parent.empty() || ::lstat(parent.c_str(), &ps) != 0)
        return ERR_FILE_NOT_FOUND;
    if (!S_ISDIR(ps.st_mode) || (ps.st_uid != 0 && ps.st_uid != ::geteuid()) || (ps.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return refuse("the directory holding the runtime directory,", parent, ps, "a directory of this account or root that nobody else may write expected");
    return ERR_SUCCESS;
}

// The root directory checked; st receives its status. Makes it when allowed.
uint32_t openRoot(Directory& directory, struct stat& st, bool create)
{
    refusal.clear();
    const std::string root = rootPath();
    if (root.empty())
        return ERR_FILE_NOT_FOUND;
    bool own = isPrivateRoot(root);
    if (own) {
        uint32_t parent = checkPrivateParent(root);
        if (parent != ERR_SUCCESS)
            return parent;
    }
    if (create) {
        if (::mkdir(root.c_str(), own ? PRIVATE_MODE : ROOT_MODE) == 0)
            ::chmod(root.c_str(), own ? PRIVATE_MODE : ROOT_MODE);
    }
    if (::lstat(root.c_str(), &st) != 0)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_FILE_NOT_FOUND;
    if (own && (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0))
        return refuse("the runtime directory", root, st, "a directory of this account alone (mode 0700) expected");
    if (!trustworthy(st) || !ownerTrusted(root, st))
        return refuse("the runtime directory", root, st, "a directory of root or the installation's account that nobody else may write expected");
    // A directory made by someone else (a service manager) may lack the
    // accounts' part: its owner adds it.
    if (create && !own && ::geteuid() == st.st_uid) {
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

// The uid an account directory's name starts with ("<uid>" or "<uid>-...").
bool numeric(const char* text, uid_t& value)
{
    if (*text < '0' || *text > '9')
        return false;
    uint64_t v = 0;
    for (const char* p = text; *p != '\0' && *p != '-'; ++p) {
        if (*p < '0' || *p > '9' || v > 0xffffffffULL)
            return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    value = static_cast<uid_t>(v);
    return v <= 0xffffffffULL;
}

bool ownAccountDirectory(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && trustworthy(st) && st.st_uid == ::geteuid();
}

// This account's directory under users/: "<uid>", or, when another account
// made that first, "<uid>-XXXXXX" with a part nobody can guess.
std::string accountDirectory(const std::string& users)
{
    const std::string uid = std::to_string(::geteuid());
    const std::string plain = users + "/" + uid;
    if (makeDirectory(plain, ACCOUNT_MODE, ::geteuid()) && ownAccountDirectory(plain))
        return plain;
    if (DIR* list = ::opendir(users.c_str())) {
        std::string found;
        while (dirent* entry = ::readdir(list)) {
            const std::string name = entry->d_name;
            if (found.empty() && name.compare(0, uid.size() + 1, uid + "-") == 0 && ownAccountDirectory(users + "/" + name))
                found = users + "/" + name;
        }
        ::closedir(list);
        if (!found.empty())
            return found;
    }
    std::string pattern = plain + "-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr)
        return std::string();
    ::chmod(pattern.c_str(), ACCOUNT_MODE);
    return pattern;
}

} // namespace

std::string lastRefusal() { return refusal; }

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
    struct stat st;
    if (::geteuid() == 0 || ::lstat(DEFAULT_DIRECTORY, &st) == 0)
        return DEFAULT_DIRECTORY;
    return privateRoot();
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
    const std::string own = accountDirectory(users);
    if (own.empty())
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
    return head + "~" + textHashHex(name) + suffix;
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
