#include "ravlon/LeftoverRecovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "common/DateTime.h"
#include "common/FileOperations.h"
#include "common/StringUtil.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace Telvar {

namespace {

using StringUtil::allDigits;
using StringUtil::endsWith;


// Reads a file of this account front to back in pieces, following no
// link; false once reading failed.
class ChunkReader {
public:
    explicit ChunkReader(const std::string& path) : buffer_(LeftoverRecovery::SCAN_CHUNK)
    {
        file_ = Platform::openOwnFileForReading(path);
        ok_ = file_ != nullptr;
    }
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;
    ~ChunkReader()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    bool ok() const { return ok_; }
    // The next piece; empty at the end or after a failure.
    size_t next(const char*& data)
    {
        data = buffer_.data();
        if (!ok_)
            return 0;
        size_t n = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        if (n == 0 && std::ferror(file_) != 0)
            ok_ = false;
        return ok_ ? n : 0;
    }

private:
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    bool ok_ = false;
};

// What a record line is, judged by its first bytes: the classification line
// opens with "30:", the measurement line is "1" alone or "1:" and values.
enum class LineKind { OTHER, CLASSIFICATION, MEASUREMENT };

LineKind kindOf(const char* head, size_t length)
{
    if (length >= 4 && head[0] == '3' && head[1] == '0' && head[2] == ':' && head[3] >= '0' && head[3] <= '9')
        return LineKind::CLASSIFICATION;
    if (length >= 1 && head[0] == '1' && (length == 1 || head[1] == ':' || head[1] == '\r'))
        return LineKind::MEASUREMENT;
    return LineKind::OTHER;
}

class Recovery {
public:
    Recovery(const std::string& directory, const SmartPointer<LoggerUnit>& unit)
        : directory_(directory), unit_(unit)
    {
        StringUtil::appendSeparator(directory_);
    }

    int32_t run();

private:
    struct Candidate {
        std::string name;
        uint64_t size = 0;      // after trimming
        bool usable = false;    // read (and trimmed) without failure
        bool dropped = false;   // deleted or found inside its copy
    };

    void debug(int32_t level, const std::string& text) const
    {
        if (!unit_.isNull())
            unit_->debug(level, text);
    }
    void debug(int32_t level, const std::string& templ, const ParamStream& params) const
    {
        if (!unit_.isNull())
            unit_->debug(level, templ, params);
    }

    bool sortNames();
    void sortName(const std::string& name);
    void removeLockDebris(const std::string& name);
    void prepare(Candidate& candidate);
    bool repair(const std::string& path, const LeftoverRecovery::Shape& shape, uint64_t size);
    void moveAside(const std::string& name, uint64_t size);
    void dropMakeInsideCopy(Candidate& make, const Candidate& copy);
    void deliver(const Candidate& candidate);

    std::string directory_;
    SmartPointer<LoggerUnit> unit_;
    std::vector<Candidate> candidates_;
    int64_t seconds_ = 0;
    int64_t pid_ = 0;
    int32_t accepted_ = 0;
};

int32_t Recovery::run()
{
    debug(3, "Handling files left over from previous crash...");
    if (!sortNames())
        return 0;
    if (candidates_.empty()) {
        debug(3, "   Found no files worth processing.");
        return 0;
    }
    seconds_ = DateTime::now().seconds();
    pid_ = Platform::currentProcessId();
    std::map<std::string, size_t> makes;
    for (size_t i = 0; i < candidates_.size(); ++i) {
        prepare(candidates_[i]);
        if (endsWith(candidates_[i].name, LeftoverRecovery::MAKE_SUFFIX))
            makes[candidates_[i].name] = i;
    }
    for (const Candidate& copy : candidates_) {
        if (!endsWith(copy.name, LeftoverRecovery::COPY_SUFFIX))
            continue;
        auto make = makes.find(copy.name.substr(0, copy.name.size() - 4));
        if (make != makes.end())
            dropMakeInsideCopy(candidates_[make->second], copy);
    }
    for (const Candidate& candidate : candidates_)
        deliver(candidate);
    debug(3, "   %i leftover file(s) were accepted.", ParamStream() << accepted_);
    return accepted_;
}

bool Recovery::sortNames()
{
    std::vector<DirectoryEntry> entries = listDirectory(directory_, "*.make*");
    bool any = false;
    for (const DirectoryEntry& entry : entries) {
        if (entry.name == "." || entry.name == "..")
            continue;
        any = true;
        sortName(entry.name);
    }
    if (!any)
        debug(3, "    No files found.");
    return any;
}

void Recovery::sortName(const std::string& name)
{
    // Only this account's own files: a link or a file another account put
    // here is neither read, cut, moved nor deleted.
    std::string why;
    if (!Platform::isOwnRegularFile(directory_ + name, why)) {
        debug(1, "   Found \"%s\": %s. Not touching it.", ParamStream() << name << why);
        return;
    }
    const bool copy = endsWith(name, LeftoverRecovery::COPY_SUFFIX);
    if (copy || (endsWith(name, LeftoverRecovery::MAKE_SUFFIX) && fileSize(directory_ + name) > 0)) {
        debug(5, "   Found \"%s\". Maybe we'll keep it...", ParamStream() << name);
        Candidate candidate;
        candidate.name = name;
        candidates_.push_back(candidate);
    } else if (LeftoverRecovery::isLockDebris(name)) {
        removeLockDebris(name);
    } else {
        debug(5, "   Found file \"%s\". Deleting it.", ParamStream() << name);
        removeFile(directory_ + name, false);
    }
}

void Recovery::removeLockDebris(const std::string& name)
{
    debug(5, "   Found file \"%s\". Deleting it.", ParamStream() << name);
    // A lock some live process still holds is not debris.
    if (!Platform::deleteUnheldLockFile(directory_ + name))
        debug(3, "   Could not delete \"%s\" (error %i); it stays.",
              ParamStream() << name << static_cast<unsigned>(Platform::lastFileSystemError()));
}

void Recovery::prepare(Candidate& candidate)
{
    const std::string path = directory_ + candidate.name;
    uint64_t before = fileSize(path);
    if (before == 0) {
        debug(5, "   The file\"%s\" has no data. Deleting it.", ParamStream() << path);
        removeFile(path, false);
        candidate.dropped = true;
        return;
    }
    LeftoverRecovery::Shape shape;
    if (!LeftoverRecovery::shapeOf(path, shape)) {
        debug(3, "   Could not read \"%s\"; it stays for the next start.", ParamStream() << path);
        return;
    }
    // Text that is not records, or no whole record at all: kept for a look,
    // under a name no later start takes for a data file.
    if (!shape.records || shape.whole == 0) {
        moveAside(candidate.name, before);
        candidate.dropped = true;
        return;
    }
    if (!repair(path, shape, before))
        return;
    candidate.size = shape.whole;
    candidate.usable = true;
}

// Cuts a torn last record. A last line without its break is torn too: a
// record longer than the stream's buffer reaches the disk in pieces.
bool Recovery::repair(const std::string& path, const LeftoverRecovery::Shape& shape, uint64_t size)
{
    if (shape.whole == size)
        return true;
    if (!Platform::truncateOwnFile(path, shape.whole)) {
        debug(3, "   Could not cut \"%s\"; it stays for the next start.", ParamStream() << path);
        return false;
    }
    debug(3, "   Cut %i byte(s) of an incomplete record from the end of \"%s\".",
          ParamStream() << static_cast<unsigned long long>(size - shape.whole) << path);
    return true;
}

void Recovery::moveAside(const std::string& name, uint64_t size)
{
    const std::string path = directory_ + name;
    for (int attempt = 0; attempt <= LeftoverRecovery::NAME_ATTEMPTS; ++attempt) {
        const std::string target = directory_ + LeftoverRecovery::asideName(name, attempt);
        if (fileExists(target))
            continue;
        if (moveFile(path, target, false))
            debug(1, "   The file \"%s\" holds no records (%i byte(s)); it was moved aside to \"%s\".",
                  ParamStream() << path << static_cast<unsigned long long>(size) << target);
        else
            debug(1, "   The file \"%s\" holds no records (%i byte(s)) and could not be moved aside; it stays.",
                  ParamStream() << path << static_cast<unsigned long long>(size));
        return;
    }
    debug(1, "   Found no free name to move \"%s\" aside; it stays.", ParamStream() << path);
}

void Recovery::dropMakeInsideCopy(Candidate& make, const Candidate& copy)
{
    if (!make.usable || make.dropped || !copy.usable || copy.dropped || make.size > copy.size)
        return;
    // The copy starts as the ".make" content and only grows: a ".make" that
    // is the copy's beginning holds nothing the copy does not.
    if (!LeftoverRecovery::samePrefix(directory_ + make.name, directory_ + copy.name, make.size))
        return;
    debug(3, "   The records of \"%s\" are all in \"%s\". Deleting it.", ParamStream() << make.name << copy.name);
    removeFile(directory_ + make.name, false);
    make.dropped = true;
}

void Recovery::deliver(const Candidate& candidate)
{
    if (!candidate.usable || candidate.dropped)
        return;
    const std::string path = directory_ + candidate.name;
    for (int attempt = 0; attempt <= LeftoverRecovery::NAME_ATTEMPTS; ++attempt) {
        std::string target = LeftoverRecovery::recoveredName(path, seconds_, pid_, attempt);
        if (fileExists(target))
            continue;
        // Without replace: a file that appeared in between is kept.
        if (moveFile(path, target, false)) {
            debug(5, "   The file \"%s\" was OK, and has been accepted.", ParamStream() << path);
            ++accepted_;
        } else {
            debug(3, "   Could not rename \"%s\" to \"%s\" (error %i); it stays for the next start.",
                  ParamStream() << path << target << static_cast<unsigned>(lastFileError()));
        }
        return;
    }
    debug(3, "   Found no free name to deliver \"%s\"; it stays for the next start.", ParamStream() << path);
}

} // namespace

int32_t LeftoverRecovery::recover(const std::string& workingDirectory, const SmartPointer<LoggerUnit>& unit)
{
    if (workingDirectory.empty()) {
        // Not configured: the current directory is nobody's working directory.
        if (!unit.isNull())
            unit->debug(3, "Handling files left over from previous crash: no working directory.");
        return 0;
    }
    try {
        Recovery recovery(workingDirectory, unit);
        return recovery.run();
    } catch (...) {
        // Nothing here may stop the start-up; what is left is found again.
        if (!unit.isNull())
            unit->debug(1, "ERROR while handling files left over from previous crash");
        return 0;
    }
}

bool LeftoverRecovery::completeLength(const std::string& path, uint64_t& length)
{
    Shape shape;
    bool read = shapeOf(path, shape);
    length = shape.whole;
    return read;
}

bool LeftoverRecovery::shapeOf(const std::string& path, Shape& shape)
{
    shape = Shape();
    ChunkReader reader(path);
    if (!reader.ok())
        return false;
    char head[4];
    size_t headLength = 0;
    bool inLine = false;
    LineKind previous = LineKind::OTHER;
    uint64_t offset = 0;
    const char* data = nullptr;
    for (size_t n = reader.next(data); n > 0; n = reader.next(data)) {
        for (size_t i = 0; i < n; ++i) {
            char c = data[i];
            if (c != '\n') {
                inLine = true;
                if (headLength < sizeof head)
                    head[headLength++] = c;
                continue;
            }
            LineKind kind = kindOf(head, headLength);
            // Records alternate: a classification line, then its measurement line.
            const bool expected = previous == LineKind::CLASSIFICATION ? kind == LineKind::MEASUREMENT
                                                                       : kind == LineKind::CLASSIFICATION;
            if (!expected)
                shape.records = false;
            if (kind == LineKind::MEASUREMENT && previous == LineKind::CLASSIFICATION)
                shape.whole = offset + i + 1;
            previous = kind;
            headLength = 0;
            inLine = false;
        }
        offset += n;
    }
    if (inLine) {
        // The last line has no line break: it must be the torn beginning of
        // the line a record has there.
        static const char CLASSIFICATION_HEAD[] = "30:";
        const size_t compared = std::min<size_t>(headLength, 3);
        if (previous == LineKind::CLASSIFICATION) {
            if (head[0] != '1' || (headLength > 1 && head[1] != ':' && head[1] != '\r'))
                shape.records = false;
        } else if (std::memcmp(head, CLASSIFICATION_HEAD, compared) != 0 ||
                   (headLength == 4 && (head[3] < '0' || head[3] > '9'))) {
            shape.records = false;
        }
    }
    return reader.ok();
}

bool LeftoverRecovery::trimToLastRecord(const std::string& path, uint64_t& kept, uint64_t& removed)
{
    kept = 0;
    removed = 0;
    Platform::PathStatus status;
    if (!Platform::pathStatus(path, status) || status.directory)
        return false;
    uint64_t length = 0;
    if (!completeLength(path, length))
        return false;
    if (length < status.size && !Platform::truncateOwnFile(path, length))
        return false;
    kept = length;
    removed = status.size - length;
    return true;
}

bool LeftoverRecovery::samePrefix(const std::string& path, const std::string& other, uint64_t size)
{
    ChunkReader a(path);
    ChunkReader b(other);
    if (!a.ok() || !b.ok())
        return false;
    // Compared piece by piece; the pieces of both files have the same size
    // until one of them ends.
    uint64_t compared = 0;
    while (compared < size) {
        const char* da = nullptr;
        const char* db = nullptr;
        size_t na = a.next(da);
        size_t nb = b.next(db);
        uint64_t want = size - compared;
        size_t n = static_cast<size_t>(std::min<uint64_t>(want, std::min(na, nb)));
        if (n == 0 || std::memcmp(da, db, n) != 0)
            return false;
        compared += n;
        // A short piece on one side only would shift the comparison.
        if (na != nb && compared < size)
            return false;
    }
    return true;
}

std::string LeftoverRecovery::recoveredName(const std::string& leftoverPath, int64_t seconds, int64_t pid,
                                            int attempt)
{
    std::string stem = leftoverPath;
    if (endsWith(stem, COPY_SUFFIX))
        stem.erase(stem.size() - std::strlen(COPY_SUFFIX));
    else if (endsWith(stem, MAKE_SUFFIX))
        stem.erase(stem.size() - std::strlen(MAKE_SUFFIX));
    std::string name = stem + "-" + std::to_string(seconds) + "-" + std::to_string(pid);
    if (attempt > 0)
        name += "-" + std::to_string(attempt);
    return name + DATA_SUFFIX;
}

std::string LeftoverRecovery::asideName(const std::string& leftoverName, int attempt)
{
    std::string name = leftoverName;
    size_t at = name.rfind(MAKE_SUFFIX);
    if (at != std::string::npos)
        name.erase(at, std::strlen(MAKE_SUFFIX));
    if (attempt > 0)
        name += "-" + std::to_string(attempt);
    return name + BAD_SUFFIX;
}

bool LeftoverRecovery::isLockDebris(const std::string& name)
{
    if (endsWith(name, LOCK_SUFFIX))
        return name.size() > std::strlen(LOCK_SUFFIX);
    // "<target>.lock.~<pid>-<n>": a lock file caught while being published.
    size_t at = name.rfind(std::string(LOCK_SUFFIX) + ".~");
    if (at == std::string::npos || at == 0)
        return false;
    size_t from = at + std::strlen(LOCK_SUFFIX) + 2;
    size_t dash = name.find('-', from);
    return dash != std::string::npos && allDigits(name, from, dash) && allDigits(name, dash + 1, name.size());
}

} // namespace Telvar
