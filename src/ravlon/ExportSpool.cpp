#include "ravlon/ExportSpool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <zlib.h>

#include "common/FileOperations.h"
#include "platform/FileSystem.h"

namespace Telvar {

namespace {

// A header line is short; anything longer is no header.
constexpr size_t MAX_HEADER = 64;
// Cutting the spool forces it to disk: not after every record.
constexpr uint64_t CUT_SIZE = 1 << 20;

struct StreamCloser {
    void operator()(std::FILE* stream) const
    {
        if (stream != nullptr)
            std::fclose(stream);
    }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

uint32_t checksum(const std::string& text)
{
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

std::string header(uint64_t sequence, const std::string& text)
{
    char line[MAX_HEADER];
    std::snprintf(line, sizeof line, "R %llu %llu %08lx\n", static_cast<unsigned long long>(sequence),
                  static_cast<unsigned long long>(text.size()), static_cast<unsigned long>(checksum(text)));
    return line;
}

// Reads the header line at the stream's position; false at the end or on
// anything that is not a header.
bool readHeader(std::FILE* stream, uint64_t& sequence, uint64_t& size, uint32_t& crc, size_t& headerSize)
{
    char line[MAX_HEADER];
    if (std::fgets(line, sizeof line, stream) == nullptr)
        return false;
    headerSize = std::char_traits<char>::length(line);
    unsigned long long s = 0, n = 0;
    unsigned long c = 0;
    if (headerSize == 0 || line[headerSize - 1] != '\n' || std::sscanf(line, "R %llu %llu %lx", &s, &n, &c) != 3)
        return false;
    sequence = s;
    size = n;
    crc = static_cast<uint32_t>(c);
    return true;
}

// Written through to the system, as the data files are; forced to disk
// only with sync (a copy about to replace the spool).
bool writeWhole(const std::string& path, const char* mode, const std::string& text, bool sync = false)
{
    Stream stream(Platform::openStream(path, mode));
    if (!stream)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), stream.get()) == text.size();
    if (sync)
        ok = Platform::syncStream(stream.get()) && ok;
    return std::fclose(stream.release()) == 0 && ok;
}

} // namespace

ExportSpool::ExportSpool(const std::string& directory, const std::string& name, uint64_t limitBytes)
    : base_(directory + name), limit_(limitBytes)
{
}

bool ExportSpool::open(std::string& problem)
{
    std::lock_guard<std::mutex> hold(lock_);
    entries_.clear();
    cursor_ = 0;
    Stream cursor(Platform::openStream(base_ + ".cursor", "rb"));
    if (cursor) {
        char line[MAX_HEADER] = {0};
        if (std::fgets(line, sizeof line, cursor.get()) != nullptr)
            cursor_ = std::strtoull(line, nullptr, 10);
    }
    if (!scan(problem))
        return false;
    nextSequence_ = cursor_ + 1;
    if (!entries_.empty() && entries_.back().sequence >= nextSequence_)
        nextSequence_ = entries_.back().sequence + 1;
    return true;
}

bool ExportSpool::scan(std::string& problem)
{
    const std::string path = spoolPath();
    end_ = 0;
    if (!fileExists(path))
        return true;
    const uint64_t size = fileSize();
    Stream stream(Platform::openStream(path, "rb"));
    if (!stream) {
        problem = "cannot read " + path;
        return false;
    }
    uint64_t offset = 0;
    for (;;) {
        uint64_t sequence = 0, textSize = 0;
        uint32_t crc = 0;
        size_t headerSize = 0;
        // No entry is larger than the limit: a larger length is no header
        // of this spool's, and is not read into memory.
        if (!readHeader(stream.get(), sequence, textSize, crc, headerSize) || textSize > size - offset ||
            textSize > limit_)
            break;
        std::string text(static_cast<size_t>(textSize), '\0');
        if (std::fread(&text[0], 1, text.size(), stream.get()) != text.size() || checksum(text) != crc)
            break;
        const uint64_t entrySize = headerSize + textSize;
        if (sequence > cursor_)
            entries_.push_back(Entry{sequence, offset, entrySize, textSize});
        offset += entrySize;
    }
    stream.reset();
    // What follows the last whole entry is an entry cut short.
    if (offset < size && !Platform::truncateFile(path, offset)) {
        problem = "cannot cut the torn end off " + path;
        return false;
    }
    end_ = offset;
    return true;
}

uint64_t ExportSpool::fileSize() const
{
    return fileExists(spoolPath()) ? Telvar::fileSize(spoolPath()) : 0;
}

bool ExportSpool::append(const std::string& text, uint64_t& dropped)
{
    std::lock_guard<std::mutex> hold(lock_);
    dropped = 0;
    const std::string head = header(nextSequence_, text);
    const uint64_t size = head.size() + text.size();
    if (size > limit_) {
        dropped = 1;
        return false;
    }
    if (end_ + size > limit_ && !makeRoom(size, dropped))
        return false;
    if (!writeWhole(spoolPath(), "ab", head + text)) {
        // A part written is no entry: the spool goes back to its last one.
        if (fileSize() > end_)
            Platform::truncateFile(spoolPath(), end_);
        return false;
    }
    entries_.push_back(Entry{nextSequence_, end_, size, text.size()});
    end_ += size;
    ++nextSequence_;
    return true;
}

bool ExportSpool::makeRoom(uint64_t size, uint64_t& dropped)
{
    if (!compact())
        return false;
    // Past the limit an eighth goes at once, so that the spool is not
    // rewritten for every record while the engine stays away.
    const uint64_t keep = limit_ > size + limit_ / 8 ? limit_ - size - limit_ / 8 : 0;
    uint64_t pending = end_;
    uint64_t last = cursor_;
    const bool over = pending + size > limit_;
    while (over && !entries_.empty() && pending > keep) {
        pending -= entries_.front().size;
        last = entries_.front().sequence;
        entries_.pop_front();
        ++dropped;
    }
    if (dropped == 0)
        return true;
    return writeCursor(last) && compact();
}

bool ExportSpool::compact()
{
    // Only unsent entries are copied; the copy replaces the spool whole.
    const std::string fresh = base_ + ".spool.new";
    std::string text;
    std::deque<Entry> moved;
    uint64_t offset = 0;
    Stream stream(entries_.empty() ? nullptr : Platform::openStream(spoolPath(), "rb"));
    for (const Entry& entry : entries_) {
        std::string part;
        if (!readText(stream.get(), entry, part))
            return false;
        const std::string head = header(entry.sequence, part);
        text += head + part;
        moved.push_back(Entry{entry.sequence, offset, head.size() + part.size(), part.size()});
        offset += head.size() + part.size();
    }
    if (!writeWhole(fresh, "wb", text, true) || !moveFile(fresh, spoolPath(), true)) {
        deleteFile(fresh);
        return false;
    }
    entries_.swap(moved);
    end_ = offset;
    return true;
}

bool ExportSpool::readText(std::FILE* stream, const Entry& entry, std::string& text)
{
    if (stream == nullptr ||
        !Platform::seekStream(stream, static_cast<int64_t>(entry.offset + entry.size - entry.textSize), 0))
        return false;
    text.assign(static_cast<size_t>(entry.textSize), '\0');
    return std::fread(&text[0], 1, text.size(), stream) == text.size();
}

bool ExportSpool::nextBatch(size_t maxBytes, Batch& batch)
{
    std::lock_guard<std::mutex> hold(lock_);
    batch = Batch();
    Stream stream(entries_.empty() ? nullptr : Platform::openStream(spoolPath(), "rb"));
    for (const Entry& entry : entries_) {
        if (batch.entries > 0 && batch.text.size() + entry.textSize > maxBytes)
            break;
        std::string text;
        if (!readText(stream.get(), entry, text))
            return false;
        batch.text += text;
        batch.last = entry.sequence;
        ++batch.entries;
    }
    return batch.entries > 0;
}

bool ExportSpool::commit(uint64_t last)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (last <= cursor_)
        return true;
    if (!writeCursor(last))
        return false;
    while (!entries_.empty() && entries_.front().sequence <= last)
        entries_.pop_front();
    // All sent and grown past a mebibyte: the spool starts again empty.
    // Sent entries left in it are skipped by their sequence numbers.
    if (entries_.empty() && end_ >= CUT_SIZE && Platform::truncateFile(spoolPath(), 0))
        end_ = 0;
    return true;
}

bool ExportSpool::writeCursor(uint64_t sequence)
{
    const std::string fresh = base_ + ".cursor.new";
    if (!writeWhole(fresh, "wb", std::to_string(sequence) + "\n") || !moveFile(fresh, base_ + ".cursor", true)) {
        deleteFile(fresh);
        return false;
    }
    cursor_ = sequence;
    return true;
}

bool ExportSpool::setAside(const Batch& batch, const std::string& reason)
{
    std::lock_guard<std::mutex> hold(lock_);
    const std::string path = rejectedPath();
    const uint64_t size = fileExists(path) ? Telvar::fileSize(path) : 0;
    std::string text = "# " + reason + "\n" + batch.text;
    if (size + text.size() > limit_)
        return false;
    return writeWhole(path, "ab", text);
}

uint64_t ExportSpool::pendingEntries() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
}

uint64_t ExportSpool::pendingBytes() const
{
    std::lock_guard<std::mutex> hold(lock_);
    uint64_t total = 0;
    for (const Entry& entry : entries_)
        total += entry.size;
    return total;
}

uint64_t ExportSpool::cursor() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return cursor_;
}

} // namespace Telvar
