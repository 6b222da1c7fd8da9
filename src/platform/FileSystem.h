#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Telvar {
namespace Platform {

// Error numbers of this facility are the Win32 ones, whatever the backend.
enum FileError : uint32_t {
    FILE_ERROR_NONE = 0,
    FILE_ERROR_INVALID_FUNCTION = 1,
    FILE_ERROR_FILE_NOT_FOUND = 2,
    FILE_ERROR_PATH_NOT_FOUND = 3,
    FILE_ERROR_TOO_MANY_OPEN_FILES = 4,
    FILE_ERROR_ACCESS_DENIED = 5,
    FILE_ERROR_INVALID_HANDLE = 6,
    FILE_ERROR_NOT_ENOUGH_MEMORY = 8,
    FILE_ERROR_NOT_SAME_DEVICE = 17,
    FILE_ERROR_WRITE_PROTECT = 19,
    FILE_ERROR_GEN_FAILURE = 31,
    FILE_ERROR_SHARING_VIOLATION = 32,
    FILE_ERROR_LOCK_VIOLATION = 33,
    FILE_ERROR_FILE_EXISTS = 80,
    FILE_ERROR_INVALID_PARAMETER = 87,
    FILE_ERROR_DISK_FULL = 112,
    FILE_ERROR_INVALID_NAME = 123,
    FILE_ERROR_DIR_NOT_EMPTY = 145,
    FILE_ERROR_BUSY = 170,
    FILE_ERROR_ALREADY_EXISTS = 183,
    FILE_ERROR_FILENAME_EXCED_RANGE = 206,
    FILE_ERROR_DIRECTORY = 267,
};

// Error of the most recent failing call of this facility on this thread.
uint32_t lastFileSystemError();
void setLastFileSystemError(uint32_t error);

// Whether the file system compares names without regard to case.
#ifdef _WIN32
constexpr bool FILE_NAMES_IGNORE_CASE = true;
#else
constexpr bool FILE_NAMES_IGNORE_CASE = false;
#endif

struct PathStatus {
    bool exists = false;
    bool directory = false;
    bool readOnly = false;   // no write permission bit set (Linux), read-only attribute (Windows)
    uint64_t size = 0;
    int64_t createdSeconds = 0;   // seconds since 1970 UTC; Linux: status change time
    int64_t accessedSeconds = 0;
    int64_t writtenSeconds = 0;
};

// Looks one path up (no wildcards); false, with exists false, when it is not there.
bool pathStatus(const std::string& path, PathStatus& status);

// The absolute form of a path, "." and ".." resolved lexically; empty on failure.
std::string absolutePath(const std::string& path);

enum class DriveKind { NOT_A_DRIVE, KNOWN, UNKNOWN };
// For a path naming a drive ("C:"): whether the platform knows its type.
// Backends without drive letters answer NOT_A_DRIVE for every path.
DriveKind driveKind(const std::string& path);

// Copies content and permissions. Without overwrite an existing target fails
// (FILE_ERROR_FILE_EXISTS). The target is written completely or not at all.
bool copyFile(const std::string& from, const std::string& to, bool overwrite);

// Options of moveFile, with the values of the Win32 extended move.
enum MoveOption : uint32_t {
    MOVE_REPLACE_EXISTING = 1,
    MOVE_COPY_ALLOWED = 2,
    MOVE_WRITE_THROUGH = 8,
};

// Renames a file or directory. Without MOVE_REPLACE_EXISTING an existing
// target fails (FILE_ERROR_ALREADY_EXISTS) and is never touched. Within one
// file system the move is one atomic rename; with MOVE_COPY_ALLOWED a file
// is moved across file systems by a synced copy that replaces the target
// atomically before the source is deleted. MOVE_WRITE_THROUGH returns only
// once the data and the new name are on disk.
bool moveFile(const std::string& from, const std::string& to, uint32_t options);

// Deletes a file (not a directory).
bool deleteFile(const std::string& path);

// Cuts a file back to its first size bytes and forces the result to disk.
// A size beyond the end fails (FILE_ERROR_INVALID_PARAMETER): this never
// grows a file.
bool truncateFile(const std::string& path, uint64_t size);

// Sets or clears the read-only state. Clearing gives the write bits back
// (owner always; group and others where readable and the umask allows).
bool setReadOnly(const std::string& path, bool readOnly);

// Creates one directory; the parent must exist.
bool createDirectory(const std::string& path);
// Removes one empty directory.
bool removeDirectory(const std::string& path);

// The current directory without a trailing separator (except at a root); empty on failure.
std::string currentDirectory();
bool setCurrentDirectory(const std::string& path);

struct DirectoryItem {
    std::string name;
    bool directory = false;
};

// All names in a directory, "." and ".." included, in the platform's order.
bool readDirectory(const std::string& directory, std::vector<DirectoryItem>& items);

// Makes a fresh directory under parent named prefix plus a unique suffix;
// returns its path, empty on failure.
std::string makeUniqueDirectory(const std::string& parent, const std::string& prefix);

// Buffered streams for BasicFile. The mode is a C stdio mode ("rb", "r+b",
// "wb", "w+b", "ab", "a+b"); streams are binary and shared with other openers.
std::FILE* openStream(const std::string& path, const char* mode);
// 64-bit positioning; origin 0 start, 1 current, 2 end. False on failure.
bool seekStream(std::FILE* stream, int64_t offset, int origin);
// Current position, -1 on failure.
int64_t tellStream(std::FILE* stream);
// Flushes the stream and forces its data to disk.
bool syncStream(std::FILE* stream);

// Raw handles for lock files.
using FileHandle = int64_t;
constexpr FileHandle INVALID_FILE_HANDLE = -1;

// Opens path for reading, creating it empty when missing; the handle keeps
// the file open until closeHandle.
FileHandle openForHolding(const std::string& path);
void closeHandle(FileHandle handle);

// Publishes a lock file: writes content under a temporary name, takes an
// exclusive lock on it and gives it the name path only if path does not
// exist yet (FILE_ERROR_FILE_EXISTS otherwise). The returned handle keeps
// the file open and locked; the kernel drops the lock when the process ends.
FileHandle createLockFile(const std::string& path, const std::string& content);

// Deletes a lock file that no live process holds locked; fails with
// FILE_ERROR_SHARING_VIOLATION while a holder still keeps it open.
bool deleteUnheldLockFile(const std::string& path);

// Deletes a lock file through the handle that holds it and closes the handle.
bool deleteHeldLockFile(const std::string& path, FileHandle handle);

// Files another account could have planted (a working directory's
// leftovers): no link is followed, and only a regular file owned by this
// process's account passes. why receives the reason for a refusal.
bool isOwnRegularFile(const std::string& path, std::string& why);
// Opened for reading without following a link; null (error set) otherwise.
std::FILE* openOwnFileForReading(const std::string& path);
// truncateFile without following a link, for files isOwnRegularFile passes.
bool truncateOwnFile(const std::string& path, uint64_t size);

// A directory this process may keep its files and names in: owned by root
// or by this process's account, and writable by nobody else (no group or
// other write permission). why receives the reason for a refusal. Always
// true on Windows, where the directory's security is the installer's.
bool isTrustedDirectory(const std::string& path, std::string& why);

} // namespace Platform
} // namespace Telvar
