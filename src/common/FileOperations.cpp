#include "common/FileOperations.h"

#include <atomic>

#include "common/BasicFile.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"

namespace Telvar {

namespace {

std::atomic<uint32_t> lastMoveError{0};

bool hasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// UTC calendar parts of a count of seconds since 1970; moment 0 for times
// outside 1970..9999. The weekday is left alone.
DateTimeParts partsOf(int64_t seconds)
{
    DateTimeParts parts;
    if (seconds < 0 || seconds >= 253402300800LL)
        return parts;
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    // Civil date from a day count (proleptic Gregorian, era-based).
    int64_t z = days + 719468;
    int64_t era = z / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    parts.year = static_cast<int32_t>(m <= 2 ? y + 1 : y);
    parts.month = static_cast<int32_t>(m);
    parts.day = static_cast<int32_t>(d);
    parts.hour = static_cast<int32_t>(rest / 3600);
    parts.minute = static_cast<int32_t>(rest / 60 % 60);
    parts.second = static_cast<int32_t>(rest % 60);
    parts.local = false;
    return parts;
}

bool fill(const std::string& path, FileInfo& info)
{
    Platform::PathStatus status;
    if (!Platform::pathStatus(path, status))
        return false;
    info.exists = true;
    info.fullPath = Platform::absolutePath(path);
    if (info.fullPath.empty())
        info.fullPath = path;
    info.size = status.size;
    info.sizeHigh = static_cast<uint32_t>(status.size >> 32);
    uint32_t attributes = 0;
    if (status.directory)
        attributes |= FILE_ATTR_DIRECTORY;
    if (status.readOnly)
        attributes |= FILE_ATTR_READONLY;
    std::string base = StringUtil::baseNameOf(info.fullPath);
    if (!base.empty() && base[0] == '.' && base != "." && base != "..")
        attributes |= FILE_ATTR_HIDDEN;
    info.attributes = attributes;
    info.created = partsOf(status.createdSeconds);
    info.lastAccessed = partsOf(status.accessedSeconds);
    info.lastWritten = partsOf(status.writtenSeconds);
    return true;
}

bool equalBytes(char a, char b)
{
    if (Platform::FILE_NAMES_IGNORE_CASE) {
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
    }
    return a == b;
}

} // namespace

bool matchesPattern(const std::string& name, const std::string& pattern)
{
    if (pattern == "*.*")
        return true;
    size_t n = 0, p = 0;
    size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || equalBytes(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool fileExists(const std::string& path)
{
    if (path.empty())
        return false;
    std::string p = path;
    if (p.size() > 1 && Platform::isPathSeparator(p.back()))
        p.pop_back();
    if (!p.empty() && p.back() == ':') {
        Platform::DriveKind kind = Platform::driveKind(p);
        if (kind == Platform::DriveKind::KNOWN)
            return true;
        if (kind == Platform::DriveKind::UNKNOWN)
            return false;
    }
    FileInfo info;
    return getFileInfo(p, info) && info.exists;
}

bool getFileInfo(const std::string& path, FileInfo& info)
{
    info = FileInfo();
    if (path.empty())
        return false;
    std::string base = StringUtil::baseNameOf(path);
    if (!hasWildcard(base))
        return fill(path, info);
    std::string dir = StringUtil::directoryOf(path);
    std::vector<Platform::DirectoryItem> items;
    if (!Platform::readDirectory(dir.empty() ? std::string(".") : dir, items))
        return false;
    for (const Platform::DirectoryItem& item : items) {
        if (matchesPattern(item.name, base))
            return fill(dir + item.name, info);
    }
    return false;
}

uint64_t fileSize(const std::string& path)
{
    FileInfo info;
    if (!getFileInfo(path, info))
        return 0;
    return info.size;
}

bool copyFile(const std::string& from, const std::string& to, bool overwrite)
{
    return Platform::copyFile(from, to, overwrite);
}

bool moveFile(const std::string& from, const std::string& to, bool replace)
{
    // A plain move still crosses file systems for files, as the platform's does.
    uint32_t options = replace ? (Platform::MOVE_REPLACE_EXISTING | Platform::MOVE_COPY_ALLOWED |
                                  Platform::MOVE_WRITE_THROUGH)
                               : Platform::MOVE_COPY_ALLOWED;
    for (int attempt = 1;; ++attempt) {
        if (Platform::moveFile(from, to, options)) {
            lastMoveError = 0;
            return true;
        }
        uint32_t error = Platform::lastFileSystemError();
        if (attempt >= MOVE_ATTEMPTS) {
            lastMoveError = error;
            return false;
        }
        DateTime::sleepMilliseconds(MOVE_RETRY_DELAY_MS);
    }
}

bool deleteFile(const std::string& path) { return Platform::deleteFile(path); }

bool removeFile(const std::string& path, bool force)
{
    Platform::PathStatus status;
    if (!Platform::pathStatus(path, status))
        return false;
    if (force) {
        if (Platform::deleteFile(path))
            return true;
        if (!setFileAttributes(path, FILE_ATTR_NORMAL))
            return false;
        return Platform::deleteFile(path);
    }
    if (status.readOnly)
        return false;
    return Platform::deleteFile(path);
}

bool setFileAttributes(const std::string& path, uint32_t attributes)
{
    // Only the read-only state has a counterpart on this platform.
    return Platform::setReadOnly(path, (attributes & FILE_ATTR_READONLY) != 0);
}

bool createDirectory(const std::string& path) { return Platform::createDirectory(path); }

bool makeParentDirectories(const std::string& path, std::string& failed)
{
    if (path.empty())
        return true;
    std::string dir = StringUtil::directoryOf(path);
    StringUtil::stripTrailingSeparators(dir);
    if (dir.empty() || fileExists(dir))
        return true;
    if (!makeParentDirectories(dir, failed))
        return false;
    if (Platform::createDirectory(dir))
        return true;
    // Another process may have made it in the meantime.
    Platform::PathStatus status;
    if (Platform::pathStatus(dir, status) && status.directory)
        return true;
    failed = dir;
    return false;
}

std::string currentDirectory()
{
    std::string dir = Platform::currentDirectory();
    StringUtil::appendSeparator(dir);
    return dir;
}

std::vector<DirectoryEntry> listDirectory(const std::string& directory, const std::string& pattern)
{
    std::vector<DirectoryEntry> entries;
    std::string full = directory;
    StringUtil::appendSeparator(full);
    full += pattern;
    std::string dir = StringUtil::directoryOf(full);
    std::string namePattern = StringUtil::baseNameOf(full);
    if (namePattern.empty())
        return entries;
    std::vector<Platform::DirectoryItem> items;
    if (!Platform::readDirectory(dir.empty() ? std::string(".") : dir, items))
        return entries;
    for (const Platform::DirectoryItem& item : items) {
        if (matchesPattern(item.name, namePattern))
            entries.push_back(DirectoryEntry{item.name, !item.directory});
    }
    return entries;
}

bool appendText(const std::string& path, const std::string& text)
{
    BasicFile file;
    if (fileExists(path)) {
        if (!file.open(path, BasicFile::MODE_APPEND))
            return false;
        bool written = file.write(text);
        // Buffered data only reaches the file at close.
        bool closed = file.close();
        return written && closed;
    }
    if (!file.open(path, BasicFile::MODE_WRITE))
        return false;
    bool written = file.write(text);
    bool closed = file.close();
    if (written && closed)
        return true;
    removeFile(path, false);
    return false;
}

uint32_t lastFileError() { return lastMoveError.load(); }

} // namespace Telvar
