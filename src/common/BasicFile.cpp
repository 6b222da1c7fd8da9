#include "common/BasicFile.h"

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Telvar {

namespace {

const char* stdioMode(int mode)
{
    switch (mode) {
    case BasicFile::MODE_READ: return "rb";
    case BasicFile::MODE_WRITE: return "wb";
    case BasicFile::MODE_APPEND: return "ab";
    case BasicFile::MODE_READ_WRITE: return "r+b";
    case BasicFile::MODE_READ_WRITE_TRUNCATE: return "w+b";
    case BasicFile::MODE_READ_APPEND: return "a+b";
    default: return nullptr;
    }
}

enum { OP_NONE = 0, OP_READ = 1, OP_WRITE = 2 };

// Opening again after a cut must not empty the file.
const char* reopenMode(int mode)
{
    switch (mode) {
    case BasicFile::MODE_APPEND: return "ab";
    case BasicFile::MODE_READ_APPEND: return "a+b";
    default: return "r+b";
    }
}

} // namespace

BasicFile::~BasicFile()
{
    if (stream_ != nullptr)
        std::fclose(stream_);
}

bool BasicFile::canRead() const
{
    return mode_ == MODE_READ || mode_ == MODE_READ_WRITE || mode_ == MODE_READ_WRITE_TRUNCATE ||
           mode_ == MODE_READ_APPEND;
}

void BasicFile::switchTo(bool writing)
{
    int op = writing ? OP_WRITE : OP_READ;
    if (lastOp_ != OP_NONE && lastOp_ != op)
        Platform::seekStream(stream_, 0, ORIGIN_CURRENT);
    lastOp_ = op;
}

std::string BasicFile::systemErrorText() const { return Platform::errnoText(systemError_); }

bool BasicFile::open(const std::string& path, int mode)
{
    systemError_ = 0;
    if (mode_ != MODE_CLOSED) {
        error_ = ERROR_ALREADY_OPEN;
        return false;
    }
    const char* how = stdioMode(mode);
    if (how == nullptr) {
        error_ = ERROR_UNKNOWN_MODE;
        return false;
    }
    stream_ = Platform::openStream(path, how);
    if (stream_ == nullptr) {
        systemError_ = errno;
        error_ = ERROR_CANNOT_OPEN;
        return false;
    }
    path_ = path;
    mode_ = mode;
    lineCounter_ = 0;
    bytesWritten_ = 0;
    atEnd_ = false;
    lastOp_ = OP_NONE;
    int64_t start = Platform::tellStream(stream_);
    endAtOpen_ = 0;
    if (Platform::seekStream(stream_, 0, ORIGIN_END))
        endAtOpen_ = Platform::tellStream(stream_);
    Platform::seekStream(stream_, start < 0 ? 0 : start, ORIGIN_START);
    error_ = ERROR_NONE;
    return true;
}

bool BasicFile::close()
{
    if (mode_ == MODE_CLOSED) {
        error_ = ERROR_NOT_OPEN;
        return false;
    }
    // Buffered data is written here; a failure is a failed write.
    bool ok = std::fclose(stream_) == 0;
    if (!ok)
        systemError_ = errno;
    stream_ = nullptr;
    mode_ = MODE_CLOSED;
    lastOp_ = OP_NONE;
    error_ = ok ? ERROR_NONE : ERROR_WRITE;
    return ok;
}

std::string BasicFile::readLine()
{
    std::string line;
    if (mode_ == MODE_CLOSED || !canRead()) {
        error_ = ERROR_NOT_OPEN;
        return line;
    }
    switchTo(false);
    bool control = false;
    bool any = false;
    bool ended = false;
    for (;;) {
        int c = std::getc(stream_);
        if (c == EOF) {
            if (std::ferror(stream_)) {
                std::clearerr(stream_);
                error_ = ERROR_READ;
                return std::string();
            }
            // Clear the stream's end state so that data appended later is seen.
            std::clearerr(stream_);
            atEnd_ = true;
            ended = true;
            break;
        }
        any = true;
        ++lineCounter_;
        if (c == '\n')
            break;
        if (c == '\r')
            continue;
        if (c < 32 && c != '\t') {
            control = true;
            continue;
        }
        line += static_cast<char>(c);
    }
    if (!any) {
        error_ = ERROR_END_OF_FILE;
        return std::string();
    }
    if (!ended) {
        // Let the at-end flag tell the truth right after the last line.
        int next = std::getc(stream_);
        if (next == EOF) {
            std::clearerr(stream_);
            atEnd_ = true;
        } else {
            std::ungetc(next, stream_);
        }
    }
    if (control) {
        error_ = ERROR_CONTROL_BYTE;
        return std::string();
    }
    error_ = ERROR_NONE;
    return line;
}

size_t BasicFile::read(char* buffer, size_t count)
{
    if (mode_ == MODE_CLOSED || !canRead()) {
        error_ = ERROR_NOT_OPEN;
        return 0;
    }
    switchTo(false);
    size_t n = count == 0 ? 0 : std::fread(buffer, 1, count, stream_);
    error_ = ERROR_NONE;
    if (n < count) {
        if (std::ferror(stream_)) {
            std::clearerr(stream_);
            error_ = ERROR_READ;
            return n;
        }
        std::clearerr(stream_);
        atEnd_ = true;
        if (n == 0)
            error_ = ERROR_END_OF_FILE;
    }
    return n;
}

bool BasicFile::write(const std::string& text) { return write(text.data(), text.size()); }

bool BasicFile::write(const char* data, size_t length)
{
    if (mode_ == MODE_CLOSED) {
        error_ = ERROR_NOT_OPEN;
        return false;
    }
    if (!canWrite()) {
        error_ = ERROR_WRITE;
        return false;
    }
    switchTo(true);
    size_t n = length == 0 ? 0 : std::fwrite(data, 1, length, stream_);
    bytesWritten_ += static_cast<int64_t>(n);
    if (n != length) {
        systemError_ = errno;
        std::clearerr(stream_);
        error_ = ERROR_WRITE;
        return false;
    }
    error_ = ERROR_NONE;
    return true;
}

bool BasicFile::flush()
{
    if (mode_ == MODE_CLOSED) {
        error_ = ERROR_NOT_OPEN;
        return false;
    }
    if (!canWrite()) {
        error_ = ERROR_NONE;
        return true;
    }
    if (std::fflush(stream_) != 0) {
        systemError_ = errno;
        std::clearerr(stream_);
        error_ = ERROR_WRITE;
        return false;
    }
    lastOp_ = OP_NONE;
    error_ = ERROR_NONE;
    return true;
}

bool BasicFile::sync()
{
    if (!flush())
        return false;
    if (canWrite() && !Platform::syncStream(stream_)) {
        error_ = ERROR_WRITE;
        return false;
    }
    return true;
}

bool BasicFile::truncate(int64_t length)
{
    if (mode_ == MODE_CLOSED) {
        error_ = ERROR_NOT_OPEN;
        return false;
    }
    if (!canWrite() || length < 0) {
        error_ = ERROR_WRITE;
        return false;
    }
    // Closing writes what is buffered (or fails to); the cut removes it.
    std::fclose(stream_);
    stream_ = nullptr;
    bool cut = Platform::truncateFile(path_, static_cast<uint64_t>(length));
    stream_ = Platform::openStream(path_, reopenMode(mode_));
    lastOp_ = OP_NONE;
    atEnd_ = false;
    if (stream_ == nullptr) {
        mode_ = MODE_CLOSED;
        error_ = ERROR_CANNOT_OPEN;
        return false;
    }
    Platform::seekStream(stream_, 0, ORIGIN_END);
    error_ = cut ? ERROR_NONE : ERROR_WRITE;
    return cut;
}

int64_t BasicFile::seek(int64_t offset, int origin)
{
    if (mode_ == MODE_CLOSED) {
        error_ = ERROR_NOT_OPEN;
        return -1;
    }
    if (origin != ORIGIN_START && origin != ORIGIN_CURRENT && origin != ORIGIN_END) {
        error_ = ERROR_UNKNOWN_ORIGIN;
        return -1;
    }
    if (!Platform::seekStream(stream_, offset, origin)) {
        error_ = ERROR_POSITION;
        return -1;
    }
    lastOp_ = OP_NONE;
    atEnd_ = false;
    int64_t pos = Platform::tellStream(stream_);
    error_ = pos < 0 ? ERROR_POSITION : ERROR_NONE;
    return pos;
}

int64_t BasicFile::tell()
{
    if (mode_ == MODE_CLOSED) {
        error_ = ERROR_NOT_OPEN;
        return -1;
    }
    int64_t pos = Platform::tellStream(stream_);
    error_ = pos < 0 ? ERROR_POSITION : ERROR_NONE;
    return pos;
}

} // namespace Telvar
