#include "ravlon/LeftoverRecovery.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "common/BasicFile.h"
#include "common/DateTime.h"
#include "common/FileOperations.h"
#include "common/StringUtil.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace Telvar {

namespace {

bool endsWith(const std::string& text, const char* tail)
{
    size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

bool allDigits(const std::string& text, size_t from, size_t to)
{
    if (from >= to)
        return false;
    for (size_t i = from; i < to; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

// Reads a file front to back in pieces; false once reading failed.
class ChunkReader {
public:
    explicit ChunkReader(const std::string& path) : buffer_(LeftoverRecovery::SCAN_CHUNK)
    {
        ok_ = file_.open(path, BasicFile::MODE_READ);
    }
    bool ok() const { return ok_; }
    // The next piece; empty at the end or after a failure.
    size_t next(const char*& data)
    {
        data = buffer_.data();
        if (!ok_ || file_.atEnd())
            return 0;
        size_t n = file_.read(buffer_.data(), buffer_.size());
        if (n == 0 && file_.errorCode() != BasicFile::ERROR_END_OF_FILE && file_.errorCode() != BasicFile::ERROR_NONE)
            ok_ = false;
        return ok_ ? n : 0;
    }

private:
    BasicFile file_;
    std::vector<char> buffer_;
    bool ok_ = false;
};

// What a record line is, judged by its first bytes: the classification line
// opens with "30:", the measurement line is "1" alone or "1:" and values.
enum class LineKind { OTHER, CLASSIFICATION, MEASUREMENT };

LineKind kindOf(const char* head, size_t length)
{
    if (length >= 3 && head[0] == '3' && head[1] == '0' && head[2] == ':')
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
    void removeLockDebris(const std::string& name);
    void prepare(Candidate& candidate);
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
        if (!entry.isFile)
            continue;
        any = true;
        if (endsWith(entry.name, LeftoverRecovery::COPY_SUFFIX) ||
            endsWith(entry.name, LeftoverRecovery::MAKE_SUFFIX)) {
            debug(5, "   Found \"%s\". Maybe we'll keep it...", ParamStream() << entry.name);
            Candidate candidate;
            candidate.name = entry.name;
            candidates_.push_back(candidate);
        } else if (LeftoverRecovery::isLockDebris(entry.name)) {
            removeLockDebris(entry.name);
        } else {
            debug(5, "   Found \"%s\". Not a data file; leaving it.", ParamStream() << entry.name);
        }
    }
    if (!any)
        debug(3, "    No files found.");
    return any;
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
    uint64_t kept = 0;
    uint64_t removed = 0;
    if (!LeftoverRecovery::trimToLastRecord(path, kept, removed)) {
        debug(3, "   Could not read or cut \"%s\"; it stays for the next start.", ParamStream() << path);
        return;
    }
    if (kept == 0) {
        debug(3, "   The file \"%s\" holds no complete record (%i byte(s)). Deleting it.",
              ParamStream() << path << static_cast<unsigned long long>(before));
        removeFile(path, false);
        candidate.dropped = true;
        return;
    }
    if (removed > 0)
        debug(3, "   Cut %i byte(s) of an incomplete record from the end of \"%s\".",
              ParamStream() << static_cast<unsigned long long>(removed) << path);
    candidate.size = kept;
    candidate.usable = true;
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
    length = 0;
    ChunkReader reader(path);
    if (!reader.ok())
        return false;
    char head[3];
    size_t headLength = 0;
    LineKind previous = LineKind::OTHER;
    uint64_t offset = 0;
    const char* data = nullptr;
    for (size_t n = reader.next(data); n > 0; n = reader.next(data)) {
        for (size_t i = 0; i < n; ++i) {
            char c = data[i];
            if (c != '\n') {
                if (headLength < sizeof head)
                    head[headLength++] = c;
                continue;
            }
            LineKind kind = kindOf(head, headLength);
            if (kind == LineKind::MEASUREMENT && previous == LineKind::CLASSIFICATION)
                length = offset + i + 1;
            previous = kind;
            headLength = 0;
        }
        offset += n;
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
    if (length < status.size && !Platform::truncateFile(path, length))
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
