#include "platform/FileSystem.h"
#include "platform/linux/Win32Errors.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#include <sys/syscall.h>

namespace Telvar {
namespace Platform {

namespace {

thread_local uint32_t lastError = FILE_ERROR_NONE;

uint32_t mapErrno(int e) { return win32ErrorFromErrno(e); }

bool failErrno()
{
    lastError = mapErrno(errno);
    return false;
}

bool failWith(uint32_t error)
{
    lastError = error;
    return false;
}

bool succeed()
{
    lastError = FILE_ERROR_NONE;
    return true;
}

std::string parentOf(const std::string& path)
{
    size_t sep = path.find_last_of('/');
    if (sep == std::string::npos)
        return ".";
    if (sep == 0)
        return "/";
    return path.substr(0, sep);
}

// Syncs a directory so that names created or removed in it are on disk.
void syncDirectory(const std::string& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool syncPath(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::atomic<unsigned> uniqueCounter{0};

std::string uniqueName(const std::string& base)
{
    return base + ".~" + std::to_string(::getpid()) + "-" + std::to_string(uniqueCounter++);
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies from into a new file at temp (mode of from), synced to disk.
bool copyToTemp(const std::string& from, const std::string& temp)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return failErrno();
    struct stat st;
    bool statted = ::fstat(in, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        int e = !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(in);
        errno = e;
        return failErrno();
    }
    int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        int e = errno;
        ::close(in);
        errno = e;
        return failErrno();
    }
    char buffer[64 * 1024];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out, buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    int e = errno;
    if (ok && ::fchmod(out, st.st_mode & 07777) != 0)
        ok = false;
    if (ok && ::fsync(out) != 0) {
        ok = false;
        e = errno;
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        e = errno;
    }
    ::close(in);
    if (!ok) {
        ::unlink(temp.c_str());
        errno = e;
        return failErrno();
    }
    return true;
}

int renameNoReplace(const std::string& from, const std::string& to)
{
#ifdef SYS_renameat2
    long r = ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                       RENAME_NOREPLACE);
    if (r == 0)
        return 0;
    if (errno != ENOSYS && errno != EINVAL)
        return -1;
#endif
    // File systems without renameat2: a hard link fails when the target
    // exists, so the target is never touched.
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0)
        return -1;
    if (S_ISDIR(st.st_mode)) {
        if (::access(to.c_str(), F_OK) == 0) {
            errno = EEXIST;
            return -1;
        }
        return ::rename(from.c_str(), to.c_str());
    }
    if (::link(from.c_str(), to.c_str()) != 0)
        return -1;
    return ::unlink(from.c_str());
}

} // namespace

uint32_t lastFileSystemError() { return lastError; }
void setLastFileSystemError(uint32_t error) { lastError = error; }

bool pathStatus(const std::string& path, PathStatus& status)
{
    status = PathStatus();
    struct stat st;
    if (path.empty())
        return failWith(FILE_ERROR_FILE_NOT_FOUND);
    if (::stat(path.c_str(), &st) != 0)
        return failErrno();
    status.exists = true;
    status.directory = S_ISDIR(st.st_mode);
    status.readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    status.size = static_cast<uint64_t>(st.st_size);
    status.createdSeconds = static_cast<int64_t>(st.st_ctime);
    status.accessedSeconds = static_cast<int64_t>(st.st_atime);
    status.writtenSeconds = static_cast<int64_t>(st.st_mtime);
    return succeed();
}

std::string absolutePath(const std::string& path)
{
    if (path.empty()) {
        failWith(FILE_ERROR_INVALID_PARAMETER);
        return std::string();
    }
    std::string joined;
    if (path[0] == '/') {
        joined = path;
    } else {
        std::string cwd = currentDirectory();
        if (cwd.empty())
            return std::string();
        joined = cwd + "/" + path;
    }
    // Lexical clean-up of ".", ".." and repeated separators.
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= joined.size()) {
        size_t j = joined.find('/', i);
        if (j == std::string::npos)
            j = joined.size();
        std::string part = joined.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    if (out.empty())
        out = "/";
    succeed();
    return out;
}

DriveKind driveKind(const std::string&) { return DriveKind::NOT_A_DRIVE; }

bool copyFile(const std::string& from, const std::string& to, bool overwrite)
{
    struct stat st;
    if (::stat(from.c_str(), &st) != 0)
        return failErrno();
    if (!overwrite && ::access(to.c_str(), F_OK) == 0)
        return failWith(FILE_ERROR_FILE_EXISTS);
    std::string temp = uniqueName(to);
    if (!copyToTemp(from, temp))
        return false;
    int r = overwrite ? ::rename(temp.c_str(), to.c_str()) : renameNoReplace(temp, to);
    if (r != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        if (e == EEXIST)
            return failWith(FILE_ERROR_FILE_EXISTS);
        errno = e;
        return failErrno();
    }
    return succeed();
}

bool moveFile(const std::string& from, const std::string& to, uint32_t options)
{
    bool replace = (options & MOVE_REPLACE_EXISTING) != 0;
    bool writeThrough = (options & MOVE_WRITE_THROUGH) != 0;
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0)
        return failErrno();
    bool isFile = S_ISREG(st.st_mode);
    // The data must be on disk before a name points to it.
    if (writeThrough && isFile)
        syncPath(from);
    int r = replace ? ::rename(from.c_str(), to.c_str()) : renameNoReplace(from, to);
    if (r == 0) {
        if (writeThrough) {
            syncDirectory(parentOf(to));
            syncDirectory(parentOf(from));
        }
        return succeed();
    }
    if (errno == EEXIST)
        return failWith(FILE_ERROR_ALREADY_EXISTS);
    if (errno != EXDEV)
        return failErrno();
    if (!(options & MOVE_COPY_ALLOWED) || !isFile)
        return failWith(FILE_ERROR_NOT_SAME_DEVICE);

    // Across file systems: a synced copy next to the target takes its name in
    // one step; only then does the source go.
    std::string temp = uniqueName(to);
    if (!copyToTemp(from, temp))
        return false;
    r = replace ? ::rename(temp.c_str(), to.c_str()) : renameNoReplace(temp, to);
    if (r != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        if (e == EEXIST)
            return failWith(FILE_ERROR_ALREADY_EXISTS);
        errno = e;
        return failErrno();
    }
    syncDirectory(parentOf(to));
    if (::unlink(from.c_str()) != 0)
        return failErrno();
    syncDirectory(parentOf(from));
    return succeed();
}

bool deleteFile(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return failErrno();
    if (S_ISDIR(st.st_mode))
        return failWith(FILE_ERROR_ACCESS_DENIED);
    if (::unlink(path.c_str()) != 0)
        return failErrno();
    return succeed();
}

bool truncateFile(const std::string& path, uint64_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return failErrno();
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    int e = errno;
    if (ok && (!S_ISREG(st.st_mode) || size > static_cast<uint64_t>(st.st_size))) {
        ::close(fd);
        return failWith(FILE_ERROR_INVALID_PARAMETER);
    }
    if (ok) {
        ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fsync(fd) == 0;
        e = errno;
    }
    ::close(fd);
    if (!ok) {
        errno = e;
        return failErrno();
    }
    return succeed();
}

bool setReadOnly(const std::string& path, bool readOnly)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return failErrno();
    mode_t mode = st.st_mode & 07777;
    if (readOnly) {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode |= S_IWUSR;
        if (mode & S_IRGRP)
            mode |= S_IWGRP & ~mask;
        if (mode & S_IROTH)
            mode |= S_IWOTH & ~mask;
    }
    if (mode == (st.st_mode & 07777))
        return succeed();
    if (::chmod(path.c_str(), mode) != 0)
        return failErrno();
    return succeed();
}

bool createDirectory(const std::string& path)
{
    // Not writable by group or others whatever the umask: the collector
    // refuses directories others could write into.
    if (::mkdir(path.c_str(), 0750) != 0)
        return failErrno();
    return succeed();
}

bool removeDirectory(const std::string& path)
{
    if (::rmdir(path.c_str()) != 0)
        return failErrno();
    return succeed();
}

std::string currentDirectory()
{
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        if (::getcwd(&buffer[0], buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            succeed();
            return buffer;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            failErrno();
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool setCurrentDirectory(const std::string& path)
{
    if (::chdir(path.c_str()) != 0)
        return failErrno();
    return succeed();
}

bool readDirectory(const std::string& directory, std::vector<DirectoryItem>& items)
{
    items.clear();
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr)
        return failErrno();
    std::string base = directory.empty() ? std::string(".") : directory;
    if (base.back() != '/')
        base += '/';
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        DirectoryItem item;
        item.name = entry->d_name;
        if (entry->d_type == DT_DIR) {
            item.directory = true;
        } else if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st;
            item.directory = ::stat((base + item.name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        items.push_back(item);
        errno = 0;
    }
    int e = errno;
    ::closedir(dir);
    if (e != 0) {
        errno = e;
        return failErrno();
    }
    return succeed();
}

std::string makeUniqueDirectory(const std::string& parent, const std::string& prefix)
{
    std::string base = parent.empty() ? std::string(".") : parent;
    if (base.back() != '/')
        base += '/';
    std::string pattern = base + prefix + "XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        failErrno();
        return std::string();
    }
    succeed();
    return pattern;
}

std::FILE* openStream(const std::string& path, const char* mode)
{
    std::FILE* f = std::fopen(path.c_str(), mode);
    if (f == nullptr) {
        failErrno();
        return nullptr;
    }
    // Descriptors must not leak into programs this process starts.
    int fd = ::fileno(f);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    // A directory opens for reading on Linux; the file classes want files.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        failWith(FILE_ERROR_ACCESS_DENIED);
        return nullptr;
    }
    succeed();
    return f;
}

bool seekStream(std::FILE* stream, int64_t offset, int origin)
{
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (stream == nullptr || whence < 0)
        return failWith(FILE_ERROR_INVALID_PARAMETER);
    if (::fseeko(stream, static_cast<off_t>(offset), whence) != 0)
        return failErrno();
    return succeed();
}

int64_t tellStream(std::FILE* stream)
{
    if (stream == nullptr) {
        failWith(FILE_ERROR_INVALID_HANDLE);
        return -1;
    }
    off_t pos = ::ftello(stream);
    if (pos < 0) {
        failErrno();
        return -1;
    }
    return static_cast<int64_t>(pos);
}

bool syncStream(std::FILE* stream)
{
    if (stream == nullptr)
        return failWith(FILE_ERROR_INVALID_HANDLE);
    if (std::fflush(stream) != 0 || ::fsync(::fileno(stream)) != 0)
        return failErrno();
    return succeed();
}

FileHandle openForHolding(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        failErrno();
        return INVALID_FILE_HANDLE;
    }
    succeed();
    return static_cast<FileHandle>(fd);
}

void closeHandle(FileHandle handle)
{
    if (handle != INVALID_FILE_HANDLE)
        ::close(static_cast<int>(handle));
}

FileHandle createLockFile(const std::string& path, const std::string& content)
{
    std::string temp = uniqueName(path);
    int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        failErrno();
        return INVALID_FILE_HANDLE;
    }
    auto fail = [&](int e) {
        ::close(fd);
        ::unlink(temp.c_str());
        if (e == EEXIST)
            failWith(FILE_ERROR_FILE_EXISTS);
        else {
            errno = e;
            failErrno();
        }
        return INVALID_FILE_HANDLE;
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno);
    if (!writeAll(fd, content.data(), content.size()) || ::fsync(fd) != 0)
        return fail(errno);
    // The complete content appears under the name in one step, and only
    // when no lock file is there yet.
    if (::link(temp.c_str(), path.c_str()) != 0)
        return fail(errno);
    ::unlink(temp.c_str());
    succeed();
    return static_cast<FileHandle>(fd);
}

bool deleteUnheldLockFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failErrno();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        return failWith(e == EWOULDBLOCK ? FILE_ERROR_SHARING_VIOLATION : mapErrno(e));
    }
    // The name must still be the file we locked: a holder may have
    // replaced it in between.
    struct stat held, named;
    bool same = ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    bool ok = same && ::unlink(path.c_str()) == 0;
    int e = errno;
    ::close(fd);
    if (!same)
        return failWith(FILE_ERROR_SHARING_VIOLATION);
    if (!ok) {
        errno = e;
        return failErrno();
    }
    return succeed();
}

bool deleteHeldLockFile(const std::string& path, FileHandle handle)
{
    if (handle == INVALID_FILE_HANDLE)
        return failWith(FILE_ERROR_INVALID_HANDLE);
    int fd = static_cast<int>(handle);
    struct stat held, named;
    bool ok = true;
    int e = 0;
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        if (::unlink(path.c_str()) != 0) {
            ok = false;
            e = errno;
        }
    }
    ::close(fd);
    if (!ok) {
        errno = e;
        return failErrno();
    }
    return succeed();
}

namespace {

bool ownRegular(const struct stat& st, std::string& why)
{
    if (S_ISLNK(st.st_mode))
        why = "a symbolic link";
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (st.st_uid != ::geteuid())
        why = "owned by another account (uid " + std::to_string(st.st_uid) + ")";
    else
        return true;
    return false;
}

} // namespace

bool isOwnRegularFile(const std::string& path, std::string& why)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return failErrno();
    }
    if (!ownRegular(st, why))
        return failWith(FILE_ERROR_ACCESS_DENIED);
    return succeed();
}

std::FILE* openOwnFileForReading(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        failErrno();
        return nullptr;
    }
    struct stat st;
    std::string why;
    if (::fstat(fd, &st) != 0 || !ownRegular(st, why)) {
        ::close(fd);
        failWith(FILE_ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        failErrno();
        ::close(fd);
        return nullptr;
    }
    succeed();
    return f;
}

bool truncateOwnFile(const std::string& path, uint64_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return failErrno();
    struct stat st;
    std::string why;
    bool ok = ::fstat(fd, &st) == 0 && ownRegular(st, why) && size <= static_cast<uint64_t>(st.st_size);
    if (!ok) {
        ::close(fd);
        return failWith(FILE_ERROR_ACCESS_DENIED);
    }
    ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fsync(fd) == 0;
    int e = errno;
    ::close(fd);
    if (!ok) {
        errno = e;
        return failErrno();
    }
    return succeed();
}

bool isTrustedDirectory(const std::string& path, std::string& why)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return failErrno();
    }
    if (!S_ISDIR(st.st_mode))
        why = "not a directory";
    else if (st.st_uid != 0 && st.st_uid != ::geteuid())
        why = "owned by another account (uid " + std::to_string(st.st_uid) + ")";
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = (st.st_mode & S_IWOTH) != 0 ? "writable by every account" : "writable by its group";
    else
        return succeed();
    return failWith(FILE_ERROR_ACCESS_DENIED);
}

} // namespace Platform
} // namespace Telvar
