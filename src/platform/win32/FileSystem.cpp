#include "platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include <windows.h>
#include <fcntl.h>
#include <io.h>

namespace Telvar {
namespace Platform {

namespace {

thread_local uint32_t lastError = FILE_ERROR_NONE;

constexpr int64_t EPOCH_DIFFERENCE = 116444736000000000LL;
// Lock files are locked on one byte far beyond their content, so that
// readers of the content are never stopped by the lock.
constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;
constexpr DWORD COPY_CHUNK = 64 * 1024;

bool failLast()
{
    lastError = static_cast<uint32_t>(::GetLastError());
    if (lastError == FILE_ERROR_NONE)
        lastError = FILE_ERROR_GEN_FAILURE;
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

int64_t secondsOf(const FILETIME& ft)
{
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return ticks == 0 ? 0 : (ticks - EPOCH_DIFFERENCE) / 10000000LL;
}

HANDLE handleOf(FileHandle handle) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)); }
FileHandle fileHandleOf(HANDLE handle) { return static_cast<FileHandle>(reinterpret_cast<intptr_t>(handle)); }

std::atomic<unsigned> uniqueCounter{0};

std::string uniqueName(const std::string& base)
{
    return base + ".~" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(uniqueCounter++);
}

// A path from a call that answers its length, or the size it needs when the
// buffer is too small, or 0 on failure: asked again with the size it named.
template <typename Call>
std::string pathText(Call call)
{
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            failLast();
            return std::string();
        }
        if (n < buffer.size()) {
            succeed();
            return std::string(buffer.data(), n);
        }
        if (n > 32768) {
            failWith(FILE_ERROR_FILENAME_EXCED_RANGE);
            return std::string();
        }
        buffer.resize(n + 1);
    }
}

bool hasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

bool writeAll(HANDLE file, const char* data, size_t size)
{
    while (size > 0) {
        DWORD chunk = size > COPY_CHUNK ? COPY_CHUNK : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// Copies from into a new file at temp (attributes of from), flushed to disk.
bool copyToTemp(const std::string& from, const std::string& temp)
{
    HANDLE in = ::CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return failLast();
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(in, &info)) {
        failLast();
        ::CloseHandle(in);
        return false;
    }
    DWORD attributes = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    HANDLE out = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        failLast();
        ::CloseHandle(in);
        return false;
    }
    std::vector<char> buffer(COPY_CHUNK);
    bool ok = true;
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(in, buffer.data(), COPY_CHUNK, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out, buffer.data(), n)) {
            ok = false;
            break;
        }
    }
    if (ok)
        ok = ::FlushFileBuffers(out) != 0;
    if (!ok)
        failLast();
    ::CloseHandle(out);
    ::CloseHandle(in);
    if (!ok) {
        uint32_t e = lastError;
        ::DeleteFileA(temp.c_str());
        return failWith(e);
    }
    // The read-only state goes over last, once the content is written.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesA(temp.c_str(), ::GetFileAttributesA(temp.c_str()) | FILE_ATTRIBUTE_READONLY);
    return true;
}

// MoveFileEx cannot replace a file that someone holds open, even one that
// shares delete access (as held targets of lock files do). Such a target
// is renamed aside first, which an open file allows, and deleted once its
// last holder closes it; the name is missing only between the two renames.
bool moveReplacing(const std::string& from, const std::string& to, DWORD flags)
{
    if (::MoveFileExA(from.c_str(), to.c_str(), flags))
        return true;
    DWORD e = ::GetLastError();
    if (!(flags & MOVEFILE_REPLACE_EXISTING) || (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION))
        return false;
    DWORD attributes = ::GetFileAttributesA(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
        ::SetLastError(e);
        return false;
    }
    std::string aside = uniqueName(to);
    if (!::MoveFileExA(to.c_str(), aside.c_str(), 0)) {
        ::SetLastError(e);
        return false;
    }
    if (!::MoveFileExA(from.c_str(), to.c_str(), flags)) {
        DWORD again = ::GetLastError();
        ::MoveFileExA(aside.c_str(), to.c_str(), 0);
        ::SetLastError(again);
        return false;
    }
    ::DeleteFileA(aside.c_str());
    return true;
}

// Gives temp the name to in one step; the temporary goes on failure.
bool renameTemp(const std::string& temp, const std::string& to, bool replace, uint32_t existsError)
{
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (moveReplacing(temp, to, flags))
        return true;
    DWORD e = ::GetLastError();
    ::SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(temp.c_str());
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
        return failWith(existsError);
    return failWith(e);
}

bool lockHeld(HANDLE file, bool exclusiveTry)
{
    OVERLAPPED where;
    std::memset(&where, 0, sizeof where);
    where.OffsetHigh = LOCK_OFFSET_HIGH;
    DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (exclusiveTry ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    return ::LockFileEx(file, flags, 0, 1, 0, &where) != 0;
}

bool setDeleteDisposition(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

} // namespace

uint32_t lastFileSystemError() { return lastError; }
void setLastFileSystemError(uint32_t error) { lastError = error; }

bool pathStatus(const std::string& path, PathStatus& status)
{
    status = PathStatus();
    if (path.empty())
        return failWith(FILE_ERROR_FILE_NOT_FOUND);
    if (hasWildcard(path))
        return failWith(FILE_ERROR_INVALID_NAME);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return failLast();
    status.exists = true;
    status.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    status.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    status.createdSeconds = secondsOf(data.ftCreationTime);
    status.accessedSeconds = secondsOf(data.ftLastAccessTime);
    status.writtenSeconds = secondsOf(data.ftLastWriteTime);
    return succeed();
}

std::string absolutePath(const std::string& path)
{
    if (path.empty()) {
        failWith(FILE_ERROR_INVALID_PARAMETER);
        return std::string();
    }
    return pathText([&path](char* buffer, DWORD size) {
        return ::GetFullPathNameA(path.c_str(), size, buffer, nullptr);
    });
}

DriveKind driveKind(const std::string& path)
{
    bool letter = path.size() >= 2 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                  path[1] == ':';
    if (!letter || path.size() > 3 || (path.size() == 3 && path[2] != '\\' && path[2] != '/'))
        return DriveKind::NOT_A_DRIVE;
    std::string root = path.substr(0, 2) + "\\";
    UINT type = ::GetDriveTypeA(root.c_str());
    return type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR ? DriveKind::UNKNOWN : DriveKind::KNOWN;
}

bool copyFile(const std::string& from, const std::string& to, bool overwrite)
{
    DWORD attributes = ::GetFileAttributesA(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failLast();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return failWith(FILE_ERROR_ACCESS_DENIED);
    if (!overwrite && ::GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES)
        return failWith(FILE_ERROR_FILE_EXISTS);
    std::string temp = uniqueName(to);
    if (!copyToTemp(from, temp))
        return false;
    if (!renameTemp(temp, to, overwrite, FILE_ERROR_FILE_EXISTS))
        return false;
    return succeed();
}

bool moveFile(const std::string& from, const std::string& to, uint32_t options)
{
    bool replace = (options & MOVE_REPLACE_EXISTING) != 0;
    DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | ((options & MOVE_WRITE_THROUGH) ? MOVEFILE_WRITE_THROUGH : 0);
    if (moveReplacing(from, to, flags))
        return succeed();
    DWORD e = ::GetLastError();
    if (e == ERROR_FILE_EXISTS)
        return failWith(FILE_ERROR_ALREADY_EXISTS);
    if (e != ERROR_NOT_SAME_DEVICE)
        return failWith(e);
    DWORD attributes = ::GetFileAttributesA(from.c_str());
    if (!(options & MOVE_COPY_ALLOWED) || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return failWith(FILE_ERROR_NOT_SAME_DEVICE);
    // Across volumes: a flushed copy next to the target takes its name in
    // one step; only then does the source go.
    if (!replace && ::GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES)
        return failWith(FILE_ERROR_ALREADY_EXISTS);
    std::string temp = uniqueName(to);
    if (!copyToTemp(from, temp))
        return false;
    if (!renameTemp(temp, to, replace, FILE_ERROR_ALREADY_EXISTS))
        return false;
    if (!::DeleteFileA(from.c_str()))
        return failLast();
    return succeed();
}

bool deleteFile(const std::string& path)
{
    if (!::DeleteFileA(path.c_str()))
        return failLast();
    return succeed();
}

bool truncateFile(const std::string& path, uint64_t size)
{
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failLast();
    LARGE_INTEGER current;
    bool ok = ::GetFileSizeEx(file, &current) != 0;
    DWORD e = ok ? ERROR_SUCCESS : ::GetLastError();
    if (ok && size > static_cast<uint64_t>(current.QuadPart)) {
        ok = false;
        e = FILE_ERROR_INVALID_PARAMETER;
    }
    if (ok) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(size);
        ok = ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file) && ::FlushFileBuffers(file);
        if (!ok)
            e = ::GetLastError();
    }
    ::CloseHandle(file);
    if (!ok)
        return failWith(e);
    return succeed();
}

bool setReadOnly(const std::string& path, bool readOnly)
{
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failLast();
    DWORD wanted = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
    if (wanted == attributes)
        return succeed();
    if (wanted == 0)
        wanted = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileAttributesA(path.c_str(), wanted))
        return failLast();
    return succeed();
}

bool createDirectory(const std::string& path)
{
    if (!::CreateDirectoryA(path.c_str(), nullptr))
        return failLast();
    return succeed();
}

bool removeDirectory(const std::string& path)
{
    if (!::RemoveDirectoryA(path.c_str()))
        return failLast();
    return succeed();
}

std::string currentDirectory()
{
    return pathText([](char* buffer, DWORD size) { return ::GetCurrentDirectoryA(size, buffer); });
}

bool setCurrentDirectory(const std::string& path)
{
    if (!::SetCurrentDirectoryA(path.c_str()))
        return failLast();
    return succeed();
}

bool readDirectory(const std::string& directory, std::vector<DirectoryItem>& items)
{
    items.clear();
    std::string pattern = directory.empty() ? std::string(".") : directory;
    if (pattern.back() != '\\' && pattern.back() != '/')
        pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        // An empty drive root has no entries at all.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND)
            return succeed();
        return failLast();
    }
    do {
        DirectoryItem item;
        item.name = data.cFileName;
        item.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        items.push_back(item);
    } while (::FindNextFileA(find, &data));
    DWORD e = ::GetLastError();
    ::FindClose(find);
    if (e != ERROR_NO_MORE_FILES)
        return failWith(e);
    return succeed();
}

std::string makeUniqueDirectory(const std::string& parent, const std::string& prefix)
{
    std::string base = parent.empty() ? std::string(".") : parent;
    if (base.back() != '\\' && base.back() != '/')
        base += '\\';
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    uint64_t seed = (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64() ^
                    (static_cast<uint64_t>(uniqueCounter++) << 16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        std::string suffix;
        uint64_t v = seed >> 16;
        for (int i = 0; i < 6; ++i, v /= 36)
            suffix += digits[v % 36];
        std::string path = base + prefix + suffix;
        if (::CreateDirectoryA(path.c_str(), nullptr)) {
            succeed();
            return path;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            failLast();
            return std::string();
        }
    }
    failWith(FILE_ERROR_ALREADY_EXISTS);
    return std::string();
}

std::FILE* openStream(const std::string& path, const char* mode)
{
    std::string m = mode != nullptr ? mode : "";
    m.erase(std::remove(m.begin(), m.end(), 'b'), m.end());
    DWORD access, disposition;
    int flags = _O_BINARY;
    if (m == "r") {
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        flags |= _O_RDONLY;
    } else if (m == "r+") {
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_EXISTING;
        flags |= _O_RDWR;
    } else if (m == "w") {
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags |= _O_WRONLY;
    } else if (m == "w+") {
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags |= _O_RDWR;
    } else if (m == "a") {
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        flags |= _O_WRONLY | _O_APPEND;
    } else if (m == "a+") {
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        flags |= _O_RDWR | _O_APPEND;
    } else {
        failWith(FILE_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Open files may be renamed and deleted under their users, as data files
    // are when they are delivered.
    HANDLE file = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failLast();
        return nullptr;
    }
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (fd < 0) {
        ::CloseHandle(file);
        failWith(FILE_ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    std::string stdioMode = m + "b";
    std::FILE* stream = ::_fdopen(fd, stdioMode.c_str());
    if (stream == nullptr) {
        ::_close(fd);
        failWith(FILE_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    succeed();
    return stream;
}

bool seekStream(std::FILE* stream, int64_t offset, int origin)
{
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (stream == nullptr || whence < 0)
        return failWith(FILE_ERROR_INVALID_PARAMETER);
    if (::_fseeki64(stream, offset, whence) != 0)
        return failWith(FILE_ERROR_INVALID_PARAMETER);
    return succeed();
}

int64_t tellStream(std::FILE* stream)
{
    if (stream == nullptr) {
        failWith(FILE_ERROR_INVALID_HANDLE);
        return -1;
    }
    int64_t pos = ::_ftelli64(stream);
    if (pos < 0) {
        failWith(FILE_ERROR_INVALID_PARAMETER);
        return -1;
    }
    return pos;
}

bool syncStream(std::FILE* stream)
{
    if (stream == nullptr)
        return failWith(FILE_ERROR_INVALID_HANDLE);
    if (std::fflush(stream) != 0)
        return failWith(FILE_ERROR_DISK_FULL);
    HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    if (file == INVALID_HANDLE_VALUE)
        return failWith(FILE_ERROR_INVALID_HANDLE);
    if (!::FlushFileBuffers(file))
        return failLast();
    return succeed();
}

FileHandle openForHolding(const std::string& path)
{
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failLast();
        return INVALID_FILE_HANDLE;
    }
    succeed();
    return fileHandleOf(file);
}

void closeHandle(FileHandle handle)
{
    if (handle != INVALID_FILE_HANDLE)
        ::CloseHandle(handleOf(handle));
}

FileHandle createLockFile(const std::string& path, const std::string& content)
{
    std::string target = absolutePath(path);
    if (target.empty())
        return INVALID_FILE_HANDLE;
    std::string temp = uniqueName(target);
    HANDLE file = ::CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failLast();
        return INVALID_FILE_HANDLE;
    }
    auto fail = [&](DWORD e) {
        setDeleteDisposition(file);
        ::CloseHandle(file);
        failWith(e == ERROR_ALREADY_EXISTS ? static_cast<uint32_t>(FILE_ERROR_FILE_EXISTS) : static_cast<uint32_t>(e));
        return INVALID_FILE_HANDLE;
    };
    if (!writeAll(file, content.data(), content.size()) || !::FlushFileBuffers(file))
        return fail(::GetLastError());
    // The complete content appears under the name in one step, and only
    // when no lock file is there yet.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(WCHAR));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    int wide = ::MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, rename->FileName,
                                     static_cast<int>(target.size() + 1));
    if (wide <= 0)
        return fail(::GetLastError());
    rename->FileNameLength = static_cast<DWORD>((wide - 1) * sizeof(WCHAR));
    if (!::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        return fail(::GetLastError());
    // The handle kept is a reading one: a holder with write or delete access
    // would keep readers out that share neither. It takes the lock before the
    // creating handle goes, so the file is never unheld.
    HANDLE held = ::CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return fail(::GetLastError());
    if (!lockHeld(held, true)) {
        DWORD e = ::GetLastError();
        ::CloseHandle(held);
        return fail(e);
    }
    ::CloseHandle(file);
    succeed();
    return fileHandleOf(held);
}

bool deleteUnheldLockFile(const std::string& path)
{
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failLast();
    if (!lockHeld(file, true)) {
        ::CloseHandle(file);
        return failWith(FILE_ERROR_SHARING_VIOLATION);
    }
    // Deleting through the handle that holds the lock: it is the very file
    // that was found unheld.
    bool ok = setDeleteDisposition(file);
    DWORD e = ::GetLastError();
    ::CloseHandle(file);
    if (!ok)
        return failWith(e);
    return succeed();
}

bool deleteHeldLockFile(const std::string& path, FileHandle handle)
{
    if (handle == INVALID_FILE_HANDLE)
        return failWith(FILE_ERROR_INVALID_HANDLE);
    HANDLE file = handleOf(handle);
    // Only the file this handle holds goes: a name that now means another
    // file is left alone.
    bool ok = true;
    DWORD e = ERROR_SUCCESS;
    BY_HANDLE_FILE_INFORMATION held, named;
    HANDLE probe = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        bool same = ::GetFileInformationByHandle(file, &held) && ::GetFileInformationByHandle(probe, &named) &&
                    held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                    held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
        ::CloseHandle(probe);
        if (same && !::DeleteFileA(path.c_str())) {
            ok = false;
            e = ::GetLastError();
        }
    }
    ::CloseHandle(file);
    if (!ok)
        return failWith(e);
    return succeed();
}

bool isOwnRegularFile(const std::string& path, std::string& why)
{
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        why = "cannot be looked up";
        return failLast();
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        why = "a link";
    else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        why = "not a regular file";
    else
        return succeed();
    return failWith(FILE_ERROR_ACCESS_DENIED);
}

std::FILE* openOwnFileForReading(const std::string& path)
{
    std::string why;
    if (!isOwnRegularFile(path, why))
        return nullptr;
    return openStream(path, "rb");
}

bool truncateOwnFile(const std::string& path, uint64_t size)
{
    std::string why;
    return isOwnRegularFile(path, why) && truncateFile(path, size);
}

bool isTrustedDirectory(const std::string&, std::string&)
{
    return succeed();
}

} // namespace Platform
} // namespace Telvar
