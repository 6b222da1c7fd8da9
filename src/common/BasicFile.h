#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Telvar {

// Small stream file for reading text line by line and appending text.
// Binary (no line-end translation), shared with other openers. One thread.
class BasicFile {
public:
    enum Mode {
        MODE_CLOSED = 0,
        MODE_READ = 1,
        MODE_WRITE = 2,             // new file, truncating
        MODE_APPEND = 3,
        MODE_READ_WRITE = 4,        // existing file
        MODE_READ_WRITE_TRUNCATE = 5,
        MODE_READ_APPEND = 6,
    };
    enum Error {
        ERROR_NONE = 0,
        ERROR_NOT_OPEN = 1,
        ERROR_ALREADY_OPEN = 2,
        ERROR_UNKNOWN_MODE = 3,
        ERROR_CANNOT_OPEN = 4,
        ERROR_UNKNOWN_ORIGIN = 5,
        ERROR_WRITE = 9,
        ERROR_END_OF_FILE = 10,
        ERROR_READ = 11,            // the platform failed a read
        ERROR_POSITION = 12,        // the platform failed a seek or tell
        ERROR_CONTROL_BYTE = 13,
    };
    enum Origin { ORIGIN_START = 0, ORIGIN_CURRENT = 1, ORIGIN_END = 2 };

    BasicFile() = default;
    BasicFile(const BasicFile&) = delete;
    BasicFile& operator=(const BasicFile&) = delete;
    virtual ~BasicFile();

    // Each operation sets the error code (ERROR_NONE on success).
    bool open(const std::string& path, int mode);
    bool close();

    // The next line without its line feed; carriage returns are dropped.
    // A line holding another control byte (below 32, not tab) comes back
    // empty with ERROR_CONTROL_BYTE; at the end: empty, ERROR_END_OF_FILE.
    std::string readLine();
    // Up to count bytes into buffer; the number read. At the end of the
    // file the at-end flag is set (ERROR_END_OF_FILE when nothing came).
    // Reading needs mode 1, 4, 5 or 6 (else ERROR_NOT_OPEN).
    size_t read(char* buffer, size_t count);

    // Modes 2 to 6: writes at the current position (the end in the append
    // modes). ERROR_WRITE on failure.
    bool write(const std::string& text);
    bool write(const char* data, size_t length);
    bool flush();
    // Flushes and forces the data to disk.
    bool sync();
    // Writing modes: sets the file's size to length and goes on at its end.
    // Whatever the stream still buffers is dropped, so this is also the way
    // back after a failed write, whose bytes may be half out. When the file
    // cannot be opened again afterwards the stream is closed.
    bool truncate(int64_t length);

    // The new position, -1 on failure (ERROR_UNKNOWN_ORIGIN for a bad origin).
    int64_t seek(int64_t offset, int origin);
    // -1 when not open.
    int64_t tell();
    // Set once a read met the end of the file, and after readLine returned
    // the last line; cleared by seek.
    bool atEnd() const { return atEnd_; }

    bool isOpen() const { return mode_ != MODE_CLOSED; }
    int mode() const { return mode_; }
    int errorCode() const { return error_; }
    // The system's words for the last failed open, write, flush or close
    // ("No space left on device"); empty when it gave none.
    std::string systemErrorText() const;
    const std::string& path() const { return path_; }
    // Bytes consumed by readLine so far.
    int64_t lineCounter() const { return lineCounter_; }
    // Size of the file when it was opened.
    int64_t endPositionAtOpen() const { return endAtOpen_; }
    int64_t bytesWritten() const { return bytesWritten_; }

private:
    bool canWrite() const { return mode_ >= MODE_WRITE && mode_ <= MODE_READ_APPEND; }
    bool canRead() const;
    // stdio needs a positioning call between reading and writing.
    void switchTo(bool writing);

    std::string path_;
    std::FILE* stream_ = nullptr;
    int mode_ = MODE_CLOSED;
    int error_ = ERROR_NONE;
    int systemError_ = 0;
    int64_t lineCounter_ = 0;
    int64_t endAtOpen_ = 0;
    int64_t bytesWritten_ = 0;
    bool atEnd_ = false;
    int lastOp_ = 0; // 0 none, 1 read, 2 write
};

} // namespace Telvar
