#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace Telvar {

// Own attribute bits; setFileAttributes acts on the settable ones.
enum FileAttribute : uint32_t {
    FILE_ATTR_ARCHIVE = 1,       // settable
    FILE_ATTR_COMPRESSED = 2,
    FILE_ATTR_DIRECTORY = 4,
    FILE_ATTR_ENCRYPTED = 8,
    FILE_ATTR_HIDDEN = 16,       // settable
    FILE_ATTR_OFFLINE = 32,      // settable
    FILE_ATTR_READONLY = 64,     // settable
    FILE_ATTR_SYSTEM = 128,      // settable
    FILE_ATTR_TEMPORARY = 256,   // settable
    FILE_ATTR_NORMAL = 512,      // settable
    FILE_ATTR_SPARSE = 4096,
};
constexpr uint32_t FILE_ATTR_SETTABLE = FILE_ATTR_ARCHIVE | FILE_ATTR_HIDDEN | FILE_ATTR_OFFLINE |
                                        FILE_ATTR_READONLY | FILE_ATTR_SYSTEM |
                                        FILE_ATTR_TEMPORARY | FILE_ATTR_NORMAL;

struct FileInfo {
    bool exists = false;
    std::string fullPath;
    uint64_t size = 0;       // the whole size in bytes
    uint32_t sizeHigh = 0;   // its high 32 bits
    uint32_t attributes = 0;
    DateTimeParts created;      // UTC
    DateTimeParts lastAccessed;
    DateTimeParts lastWritten;
};

struct DirectoryEntry {
    std::string name;
    bool isFile = false; // false for directories
};

// Whole-file operations. None of them throws; failures answer false or an
// empty result.

// Empty: false. One trailing separator is ignored. A drive ("C:") exists
// unless its type is unknown.
bool fileExists(const std::string& path);
// The first entry matching path ("*" and "?" allowed in the last component).
bool getFileInfo(const std::string& path, FileInfo& info);
// 0 when the file does not exist.
uint64_t fileSize(const std::string& path);
bool copyFile(const std::string& from, const std::string& to, bool overwrite);
// Up to MOVE_ATTEMPTS tries, MOVE_RETRY_DELAY_MS apart. With replace the
// target is replaced atomically (across file systems: a copy synced to disk
// before the source goes). Sets lastFileError.
bool moveFile(const std::string& from, const std::string& to, bool replace);
bool deleteFile(const std::string& path);
// False when the file does not exist. Without force a read-only file is
// kept (false); with force its read-only state is cleared if needed.
bool removeFile(const std::string& path, bool force);
bool setFileAttributes(const std::string& path, uint32_t attributes);
// One directory; its parent must exist.
bool createDirectory(const std::string& path);
// Creates the missing ancestors of path (not path itself). On failure the
// directory that could not be made is stored in failed.
bool makeParentDirectories(const std::string& path, std::string& failed);
// Ends in a separator; empty on failure.
std::string currentDirectory();
// Entries of directory matching pattern ("*" any run, "?" one byte; "*.*"
// matches every name), "." and ".." included, in the platform's order.
std::vector<DirectoryEntry> listDirectory(const std::string& directory,
                                          const std::string& pattern);
bool matchesPattern(const std::string& name, const std::string& pattern);
// Appends to an existing file, or creates it; a new file whose write failed
// is removed again.
bool appendText(const std::string& path, const std::string& text);

constexpr int MOVE_ATTEMPTS = 6;
constexpr int MOVE_RETRY_DELAY_MS = 2000;

// Process-wide error of the last moveFile: 0 after success, the platform's
// error number (Win32 numbering) after failure.
uint32_t lastFileError();

} // namespace Telvar
