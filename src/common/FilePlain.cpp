#include "common/FilePlain.h"

#include <new>

#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/LockFile.h"

namespace Telvar {

namespace {

const char* const SOURCE = "shared/library/common/FilePlain";

// readLine met a control byte; the code has no name of its own.
constexpr int32_t CONTROL_BYTE_CODE = 27;

} // namespace

FilePlain::FilePlain(const std::string& name) : FileBase(name) {}

FilePlain::~FilePlain()
{
    if (!closed_) {
        try {
            close();
        } catch (...) {
        }
    }
}

void FilePlain::fail(int32_t code, const std::string& text, int line) const
{
    FileException e(code, text, SOURCE, line);
    // A failed open, write, flush or close says what the system said.
    const std::string why = stream_.systemErrorText();
    if (!why.empty() && (code == FileException::FL_CANNOT_OPEN || code == FileException::FL_WRITE ||
                         code == FileException::FL_FLUSH))
        e.setReason(name_ + ": " + why);
    throw e;
}

void FilePlain::failWithReason(int32_t code, const std::string& text, const std::string& reason, int line) const
{
    FileException e(code, text, SOURCE, line);
    e.setReason(reason);
    throw e;
}

void FilePlain::failWrite(int line)
{
    writeFailed_ = true;
    fail(FileException::FL_WRITE, writeErrorText(), line);
}

std::string FilePlain::writeErrorText() const
{
    return name_ + " - BFile error: " + std::to_string(stream_.errorCode()) +
           " - Access: " + std::to_string(stream_.mode());
}

int FilePlain::streamMode(uint16_t access)
{
    bool read = (access & ACCESS_READ) != 0;
    bool write = (access & ACCESS_WRITE) != 0;
    bool append = (access & ACCESS_APPEND) != 0;
    if (read && write) {
        if (append)
            return BasicFile::MODE_READ_APPEND;
        if (access & ACCESS_TRUNCATE)
            return BasicFile::MODE_READ_WRITE_TRUNCATE;
        return BasicFile::MODE_READ_WRITE;
    }
    if (write)
        return append ? BasicFile::MODE_APPEND : BasicFile::MODE_WRITE;
    if (read)
        return BasicFile::MODE_READ;
    return BasicFile::MODE_CLOSED;
}

void FilePlain::open(uint16_t access)
{
    if (!closed_)
        fail(FileException::FL_IS_OPEN, name_, __LINE__);
    bool read = (access & ACCESS_READ) != 0;
    bool write = (access & ACCESS_WRITE) != 0;
    if ((read && !write && (access & (ACCESS_TRUNCATE | ACCESS_CREATE | ACCESS_APPEND))) ||
        ((access & ACCESS_TRUNCATE) && (access & ACCESS_APPEND)) || (!read && !write))
        fail(FileException::FL_ACCESS_COMB, name_, __LINE__);
    if (read && !write && !fileExists(name_))
        failWithReason(FileException::FL_EXISTS_NOT, name_ + "-->File does not exist.",
                       name_ + ": No such file", __LINE__);
    if (read && readLimit_ >= 0 && size() > readLimit_)
        fail(FileException::FL_ERROR, name_ + ": more than " + std::to_string(readLimit_) + " bytes", __LINE__);

    existedAtLock_ = fileExists(name_);
    std::string working = name_;
    if (write && !(access & ACCESS_NOLOCK)) {
        bool safe = !(access & ACCESS_UNSAFE);
        working = lockForWriting(SOURCE, FileException::FL_MEM, safe, safe);
    }

    if (!stream_.open(working, streamMode(access))) {
        cleanUpFailedOpen(SOURCE);
        fail(FileException::FL_CANNOT_OPEN, working, __LINE__);
    }
    closed_ = false;
    access_ = access;
    atEnd_ = false;
    position_ = 0;
    writeFailed_ = false;
    if (access & ACCESS_APPEND) {
        int64_t end = stream_.seek(0, BasicFile::ORIGIN_END);
        position_ = end < 0 ? 0 : end;
    }
}

void FilePlain::close()
{
    if (closed_)
        return;
    if (writeFailed_ && safeUpdate_) {
        // The copy may end in the middle of what failed: never commit it.
        std::string text = name_ + " - not updated after a failed write";
        abort();
        fail(FileException::FL_WRITE, text, __LINE__);
    }
    bool written = stream_.close();
    closed_ = true;
    access_ = 0;
    position_ = 0;
    atEnd_ = false;
    if (!written) {
        // Buffered data did not reach the file: keep the real file as it was.
        if (safeUpdate_) {
            deleteFile(tmpPath());
            safeUpdate_ = false;
        }
        releaseLock();
        fail(FileException::FL_WRITE, writeErrorText(), __LINE__);
    }
    bool committed = true;
    if (safeUpdate_) {
        // Replace the real file while still holding the lock, so that the
        // next writer copies the new content.
        committed = commitCopy();
        if (committed)
            safeUpdate_ = false;
    }
    bool released = releaseLock();
    if (!committed) {
        safeUpdate_ = false;
        fail(FileException::FL_RENAME, "Failed to update the file \"" + name_ + "\"", __LINE__);
    }
    if (!released)
        fail(FileException::FL_CANNOT_UNLOCK, name_, __LINE__);
}

void FilePlain::abort()
{
    if (closed_)
        return;
    stream_.close();
    closed_ = true;
    access_ = 0;
    position_ = 0;
    atEnd_ = false;
    if (!existedAtLock_)
        deleteFile(name_);
    if (safeUpdate_) {
        deleteFile(tmpPath());
        safeUpdate_ = false;
    }
    if (!releaseLock())
        fail(FileException::FL_CANNOT_UNLOCK, name_, __LINE__);
}

int64_t FilePlain::read(char* buffer, int64_t count)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_READ) || count < 0)
        fail(FileException::FL_READ, name_, __LINE__);
    if (stream_.atEnd())
        fail(FileException::FL_EOF, name_, __LINE__);
    size_t n = stream_.read(buffer, static_cast<size_t>(count));
    if (stream_.errorCode() == BasicFile::ERROR_END_OF_FILE)
        fail(FileException::FL_EOF, name_, __LINE__);
    if (stream_.errorCode() != BasicFile::ERROR_NONE)
        fail(FileException::FL_READ, name_, __LINE__);
    buffer[n] = '\0';
    position_ += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
}

bool FilePlain::read(std::string& text, int64_t count)
{
    text.clear();
    if (count < 0)
        fail(FileException::FL_READ, name_, __LINE__);
    std::string buffer(static_cast<size_t>(count), '\0');
    size_t n = stream_.read(&buffer[0], buffer.size());
    int error = stream_.errorCode();
    if (error != BasicFile::ERROR_NONE && error != BasicFile::ERROR_END_OF_FILE)
        fail(FileException::FL_READ, name_, __LINE__);
    buffer.resize(n);
    text.swap(buffer);
    position_ += static_cast<int64_t>(n);
    return static_cast<int64_t>(n) == count;
}

bool FilePlain::write(const std::string& text)
{
    if (!stream_.write(text))
        failWrite(__LINE__);
    position_ += static_cast<int64_t>(text.size());
    return true;
}

int64_t FilePlain::write(const char* buffer, int64_t length)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_WRITE))
        fail(FileException::FL_CANNOT_WRITE, name_, __LINE__);
    if (length < 0 || !stream_.write(buffer, static_cast<size_t>(length)))
        failWrite(__LINE__);
    position_ += length;
    return length;
}

std::string& FilePlain::readLine(std::string& line)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_READ))
        fail(FileException::FL_CANNOT_READ, name_, __LINE__);
    line = stream_.readLine();
    switch (stream_.errorCode()) {
    case BasicFile::ERROR_NONE:
        break;
    case BasicFile::ERROR_END_OF_FILE:
        fail(FileException::FL_EOF, name_, __LINE__);
    case BasicFile::ERROR_CONTROL_BYTE:
        fail(CONTROL_BYTE_CODE, name_, __LINE__);
    default:
        fail(FileException::FL_READ, name_, __LINE__);
    }
    int64_t pos = stream_.tell();
    if (pos >= 0)
        position_ = pos;
    return line;
}

void FilePlain::writeLine(const std::string& text)
{
    if (!stream_.write(text) || !stream_.write("\n", 1))
        failWrite(__LINE__);
    position_ += static_cast<int64_t>(text.size()) + 1;
}

void FilePlain::flush()
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_WRITE))
        fail(FileException::FL_CANNOT_WRITE, name_, __LINE__);
    if (!stream_.flush()) {
        writeFailed_ = true;
        fail(FileException::FL_FLUSH, name_, __LINE__);
    }
}

int64_t FilePlain::seek(int64_t offset, int origin)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    int64_t pos = stream_.seek(offset, origin);
    if (pos < 0)
        fail(FileException::FL_POSITION, name_, __LINE__);
    position_ = pos;
    return pos;
}

int64_t FilePlain::tell()
{
    if (closed_)
        return position_;
    int64_t pos = stream_.tell();
    if (pos >= 0)
        position_ = pos;
    return position_;
}

bool FilePlain::eof() { return stream_.atEnd(); }

void FilePlain::truncate(int64_t length)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_WRITE))
        fail(FileException::FL_CANNOT_WRITE, name_, __LINE__);
    if (!stream_.truncate(length))
        fail(FileException::FL_WRITE, writeErrorText(), __LINE__);
    writeFailed_ = false;
    position_ = length;
}

} // namespace Telvar
