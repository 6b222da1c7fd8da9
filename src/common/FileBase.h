#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/SmartPointer.h"
#include "common/TimeSpan.h"

namespace Telvar {

class LockFile;

// Abstract file. Writers are kept apart by a lock file next to the file and,
// unless ACCESS_UNSAFE is given, work on name + ".tmp", which only close()
// moves over the real file; abort() throws the copy away. All failures are
// FileException.
class FileBase {
public:
    enum Access : uint16_t {
        ACCESS_READ = 0x01,
        ACCESS_WRITE = 0x02,
        ACCESS_TRUNCATE = 0x04,
        ACCESS_CREATE = 0x08,
        ACCESS_APPEND = 0x10,
        ACCESS_UNSAFE = 0x20,
        ACCESS_NOLOCK = 0x40,
    };
    enum Origin { SEEK_BEGIN = 0, SEEK_CURRENT = 1, SEEK_END_OF_FILE = 2 };

    // Attempts, and the wait after each failed one, of the commit's move.
    static constexpr int COMMIT_ATTEMPTS = 10;
    static constexpr int COMMIT_RETRY_DELAY_MS = 2000;

    explicit FileBase(const std::string& name);
    FileBase(const FileBase&) = delete;
    FileBase& operator=(const FileBase&) = delete;
    virtual ~FileBase();

    virtual void open(uint16_t access) = 0;
    // Commit: close, release the lock, replace the real file with the copy.
    virtual void close() = 0;
    // Discard: close, release the lock, drop the copy.
    virtual void abort() = 0;
    // True when exactly count bytes were read into text.
    virtual bool read(std::string& text, int64_t count) = 0;
    // buffer must hold count + 1 bytes: a NUL follows the bytes read.
    virtual int64_t read(char* buffer, int64_t count) = 0;
    virtual bool write(const std::string& text) = 0;
    virtual int64_t write(const char* buffer, int64_t length) = 0;
    virtual std::string& readLine(std::string& line) = 0;
    virtual void writeLine(const std::string& text) = 0;
    virtual void flush() = 0;
    virtual int64_t seek(int64_t offset, int origin) = 0;
    virtual int64_t tell();
    virtual bool eof();
    // Cuts the file being written back to length bytes and goes on writing
    // at its new end: the way back to the last whole record after a failed
    // write. Clears the failed-write state. Gzip streams cannot: FL_ERROR.
    virtual void truncate(int64_t length);

    const std::string& name() const { return name_; }
    std::string baseName() const;
    // Size of the real file (0 when missing).
    int64_t size() const;
    bool isOpen() const { return !closed_; }
    uint16_t access() const { return access_; }
    bool safeUpdate() const { return safeUpdate_; }
    // A write or flush failed since the open (or the last truncate): close()
    // then discards the working copy instead of committing it.
    bool writeFailed() const { return writeFailed_; }
    const TimeSpan& lockTimeout() const { return lockTimeout_; }
    void setLockTimeout(const TimeSpan& timeout) { lockTimeout_ = timeout; }

    // Reading: refuse (FL_ERROR, at open) a file whose content, uncompressed,
    // holds more than bytes; below 0 (the default) reads any size.
    void setReadLimit(int64_t bytes) { readLimit_ = bytes; }
    // Bound of every file read as configuration (configuration, counters,
    // prime time, catalogues) and of a value after its references are
    // expanded: far above any real one, far below what hurts.
    static constexpr int64_t MAX_INPUT_BYTES = 1024 * 1024;

    // Lock time-out of files created from now on; 30 seconds unless set.
    static void setDefaultLockTimeout(const TimeSpan& timeout);
    static void clearDefaultLockTimeout();
    static TimeSpan defaultLockTimeout();

    // A FileGZ for names whose extension is exactly "gz", else a FilePlain;
    // closed.
    static SmartPointer<FileBase> create(const std::string& path);

    static constexpr const char* TMP_SUFFIX = ".tmp";

protected:
    // After a failed open: gives the lock up (FL_CANNOT_UNLOCK, from module,
    // when that fails), deletes a real file the lock made and name + ".tmp".
    void cleanUpFailedOpen(const char* module);
    // Locks name_ for writing (lock failures from module; a lock that cannot
    // be made for want of memory is noMemoryCode) and, for a safe update,
    // copies the real file to name + ".tmp". Returns the path to write.
    std::string lockForWriting(const char* module, int32_t noMemoryCode, bool safeLock, bool safeUpdate);
    // Releases and drops the lock; false when the release failed.
    bool releaseLock();
    // Moves name + ".tmp" over the real file, COMMIT_ATTEMPTS tries.
    bool commitCopy();
    std::string tmpPath() const { return name_ + TMP_SUFFIX; }

    std::string name_;
    bool safeUpdate_ = false;
    uint16_t access_ = 0;
    int64_t position_ = 0;
    bool atEnd_ = false;
    bool closed_ = true;
    std::unique_ptr<LockFile> lock_;
    TimeSpan lockTimeout_;
    // Whether the real file existed when the lock was created.
    bool existedAtLock_ = true;
    bool writeFailed_ = false;
    int64_t readLimit_ = -1;
};

} // namespace Telvar
