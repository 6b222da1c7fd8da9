#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

namespace Telvar {

// The records on their way to a time-series engine, kept in the working
// directory so that neither an engine outage nor a killed collector loses
// one. "<name>.spool" holds the entries, each a header line
// "R <sequence> <length> <crc32>" and its text; "<name>.cursor" the sequence
// number of the last entry the engine has taken, replaced atomically. An
// entry is whole or absent: one cut short by a crash is cut off when the
// spool is opened. Entries up to the cursor are removed once all are sent
// and the file has grown past a mebibyte, or when room is needed; past the size limit the oldest unsent ones are dropped.
// Like the data files, entries and cursor are written through to the
// system (a killed process loses nothing), not forced to disk one by one.
// All operations are safe from several threads.
class ExportSpool {
public:
    struct Batch {
        uint64_t last = 0;  // sequence number of its last entry
        size_t entries = 0;
        std::string text;
    };

    ExportSpool(const std::string& directory, const std::string& name, uint64_t limitBytes);
    ExportSpool(const ExportSpool&) = delete;
    ExportSpool& operator=(const ExportSpool&) = delete;

    // Reads the spool and the cursor, cutting off a torn last entry. False
    // (problem says why) when the spool cannot be read or repaired.
    bool open(std::string& problem);

    // Commits one entry. To make room, entries already sent are removed and
    // then the oldest unsent ones dropped: dropped receives their number.
    // False when the entry could not be written (the spool is as before; an
    // entry larger than the limit is dropped and counted).
    bool append(const std::string& text, uint64_t& dropped);

    // The unsent entries in order, as many as fit in maxBytes (at least
    // one); false when there are none or they cannot be read.
    bool nextBatch(size_t maxBytes, Batch& batch);

    // The engine has taken every entry up to last: moves the cursor there
    // durably. False when the cursor could not be written (the batch will
    // be sent again, which lands on the same points).
    bool commit(uint64_t last);

    // Appends a batch the engine refused, with the reason, to
    // "<name>.rejected"; nothing when that file has reached the limit.
    bool setAside(const Batch& batch, const std::string& reason);

    uint64_t pendingEntries() const;
    uint64_t pendingBytes() const;
    uint64_t cursor() const;
    std::string spoolPath() const { return base_ + ".spool"; }
    std::string rejectedPath() const { return base_ + ".rejected"; }

private:
    struct Entry {
        uint64_t sequence;
        uint64_t offset;  // of the header line
        uint64_t size;    // header and text
        uint64_t textSize;
    };
    // Called with lock_ held.
    bool scan(std::string& problem);
    static bool readText(std::FILE* stream, const Entry& entry, std::string& text);
    bool writeCursor(uint64_t sequence);
    bool compact();
    bool makeRoom(uint64_t size, uint64_t& dropped);
    uint64_t fileSize() const;

    const std::string base_;
    const uint64_t limit_;
    mutable std::mutex lock_;
    std::deque<Entry> entries_;  // GUARDED_BY(lock_), in file order
    uint64_t cursor_ = 0;        // GUARDED_BY(lock_)
    uint64_t nextSequence_ = 1;  // GUARDED_BY(lock_)
    uint64_t end_ = 0;           // GUARDED_BY(lock_): size of the spool file
};

} // namespace Telvar
