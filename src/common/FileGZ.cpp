#include "common/FileGZ.h"

#include <algorithm>
#include <climits>
#include <new>
#include <zlib.h>

#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/LockFile.h"
#include "common/StringUtil.h"
#include "platform/SystemError.h"

namespace Telvar {

namespace {

const char* const SOURCE = "shared/library/common/FileGZ";

// readLine met a byte outside the printable set; the code has no name.
constexpr int32_t CONTROL_BYTE_CODE = 27;

gzFile handleOf(void* p) { return static_cast<gzFile>(p); }

// Uncompressed length of a gzip (or plain) file; -1 when it cannot be
// opened, -2 when it does not read to its end, -3 when it holds more than
// limit bytes (a limit below 0 allows any length).
int64_t uncompressedLengthOf(const std::string& path, int64_t limit)
{
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr)
        return -1;
    static const unsigned CHUNK = 64 * 1024;
    std::string buffer(CHUNK, '\0');
    int64_t total = 0;
    int n;
    while ((n = gzread(gz, &buffer[0], CHUNK)) > 0) {
        total += n;
        // A small file of zeros may unpack to gigabytes: stop counting.
        if (limit >= 0 && total > limit) {
            gzclose(gz);
            return -3;
        }
    }
    int error = Z_OK;
    gzerror(gz, &error);
    bool complete = n == 0 && error == Z_OK && gzeof(gz);
    gzclose(gz);
    return complete ? total : -2;
}

bool makeEmptyGzip(const std::string& path)
{
    gzFile gz = gzopen(path.c_str(), "wb");
    return gz != nullptr && gzclose(gz) == Z_OK;
}

} // namespace

FileGZ::FileGZ(const std::string& name) : FileBase(name) {}

FileGZ::~FileGZ()
{
    if (!closed_) {
        try {
            close();
        } catch (...) {
        }
    }
}

void FileGZ::fail(int32_t code, const std::string& text, int line) const
{
    throw FileException(code, text, SOURCE, line);
}

void FileGZ::failWithReason(int32_t code, const std::string& text, const std::string& reason, int line) const
{
    FileException e(code, text, SOURCE, line);
    e.setReason(reason);
    throw e;
}

bool FileGZ::closeHandle()
{
    if (gz_ == nullptr)
        return true;
    int rc = gzclose(handleOf(gz_));
    gz_ = nullptr;
    return rc == Z_OK;
}

void FileGZ::open(uint16_t access)
{
    if (!closed_)
        fail(FileException::FL_IS_OPEN, name_, __LINE__);
    const bool read = checkOpenAccess(access);
    existedAtLock_ = fileExists(name_);
    std::string working = name_;
    if (!read && !(access & ACCESS_NOLOCK))
        working = lockForWriting(SOURCE, FileException::FL_CANNOT_LOCK, true, !(access & ACCESS_UNSAFE));

    const std::string origCopy = working + ORIG_COPY_SUFFIX;
    length_ = 0;
    bool movedAside = false;
    if (read)
        length_ = readableLength(working);
    else
        movedAside = prepareForWriting(access, working, origCopy);

    gz_ = gzopen(working.c_str(), read ? "rb" : "wb");
    if (gz_ == nullptr) {
        const std::string why = Platform::lastErrorText();
        // Never lose the old content because the new file could not be made.
        if (movedAside)
            moveFile(origCopy, working, true);
        cleanUpFailedOpen(SOURCE);
        failWithReason(FileException::FL_CANNOT_OPEN, working, working + ": " + why, __LINE__);
    }
    closed_ = false;
    access_ = access;
    position_ = 0;
    atEnd_ = false;
    writeFailed_ = false;
    if (movedAside)
        appendOldContent(origCopy, working);
}

bool FileGZ::checkOpenAccess(uint16_t access) const
{
    bool read = (access & ACCESS_READ) != 0;
    bool writing = (access & (ACCESS_WRITE | ACCESS_UNSAFE)) != 0;
    if (read && writing)
        fail(FileException::FL_ACCESS_COMB,
             "Cannot open gzip file: " + name_ + "\tfor both reading and writing.", __LINE__);
    if (!read && !writing)
        fail(FileException::FL_ACCESS_COMB,
             "Only ACCESS_READ or ACCESS_WRITE or ACCESS_WRITE + ACCESS_UNSAFE allowed for gzip file: " +
                 name_,
             __LINE__);
    if (read && !fileExists(name_))
        failWithReason(FileException::FL_EXISTS_NOT, name_, name_ + ": No such file", __LINE__);
    return read;
}

int64_t FileGZ::readableLength(const std::string& working) const
{
    int64_t length = uncompressedLengthOf(working, readLimit_);
    if (length == -1)
        fail(FileException::FL_CANNOT_OPEN, working, __LINE__);
    if (length == -3)
        fail(FileException::FL_ERROR,
             working + ": more than " + std::to_string(readLimit_) + " bytes uncompressed", __LINE__);
    if (length < 0)
        fail(FileException::FL_ERROR, working, __LINE__);
    return length;
}

bool FileGZ::prepareForWriting(uint16_t access, const std::string& working, const std::string& origCopy)
{
    if ((access & ACCESS_CREATE) && !fileExists(working) && !makeEmptyGzip(working)) {
        cleanUpFailedOpen(SOURCE);
        fail(FileException::FL_CANNOT_OPEN, working, __LINE__);
    }
    if (!(access & ACCESS_APPEND) || !fileExists(working))
        return false;
    // gzip cannot append in place: the old content is copied back in.
    if (!moveFile(working, origCopy, true)) {
        cleanUpFailedOpen(SOURCE);
        fail(FileException::FL_CANNOT_OPEN, working, __LINE__);
    }
    return true;
}

void FileGZ::appendOldContent(const std::string& origCopy, const std::string& working)
{
    try {
        FileGZ old(origCopy);
        old.open(ACCESS_READ);
        std::string piece;
        while (!old.eof()) {
            old.read(piece, APPEND_PIECE);
            write(piece);
        }
        old.close();
    } catch (Exception& e) {
        closeHandle();
        moveFile(origCopy, working, true);
        closed_ = true;
        access_ = 0;
        position_ = 0;
        length_ = 0;
        cleanUpFailedOpen(SOURCE);
        e.addTrace(SOURCE, __LINE__);
        throw;
    }
    if (!deleteFile(origCopy))
        fail(FileException::FL_REMOVE, origCopy, __LINE__);
}

void FileGZ::close()
{
    if (closed_)
        return;
    if (writeFailed_ && safeUpdate_) {
        // A stream with a hole where the write failed is never committed.
        abort();
        fail(FileException::FL_WRITE, name_ + " - not updated after a failed write", __LINE__);
    }
    bool closedCleanly = closeHandle();
    closed_ = true;
    bool writing = !(access_ & ACCESS_READ);
    access_ = 0;
    position_ = 0;
    if (!closedCleanly) {
        // The stream is incomplete: the real file keeps its content.
        if (writing && safeUpdate_)
            deleteFile(tmpPath());
        safeUpdate_ = false;
        releaseLock();
        fail(FileException::FL_CANNOT_CLOSE, name_, __LINE__);
    }
    bool committed = true;
    if (safeUpdate_) {
        // Replaced while the lock is still held, so the next writer copies
        // the new content.
        committed = commitCopy();
        safeUpdate_ = false;
    }
    bool released = releaseLock();
    if (!committed)
        fail(FileException::FL_RENAME, "Failed to update the file: " + name_, __LINE__);
    if (!released)
        fail(FileException::FL_CANNOT_UNLOCK, name_, __LINE__);
}

void FileGZ::abort()
{
    if (closed_)
        return;
    closeHandle();
    closed_ = true;
    bool writing = !(access_ & ACCESS_READ);
    access_ = 0;
    position_ = 0;
    if (writing && !existedAtLock_)
        deleteFile(name_);
    if (safeUpdate_) {
        deleteFile(tmpPath());
        safeUpdate_ = false;
    }
    if (!releaseLock())
        fail(FileException::FL_CANNOT_UNLOCK, name_, __LINE__);
}

int64_t FileGZ::read(char* buffer, int64_t count)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_READ) || count < 0)
        fail(FileException::FL_READ, name_, __LINE__);
    if (eof())
        fail(FileException::FL_EOF, name_, __LINE__);
    int64_t total = 0;
    while (total < count) {
        unsigned piece = static_cast<unsigned>(std::min<int64_t>(count - total, INT_MAX));
        int n = gzread(handleOf(gz_), buffer + total, piece);
        if (n < 0)
            fail(FileException::FL_READ, name_, __LINE__);
        total += n;
        if (static_cast<unsigned>(n) < piece)
            break;
    }
    buffer[total] = '\0';
    position_ += total;
    return total;
}

bool FileGZ::read(std::string& text, int64_t count)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (count < 0)
        fail(FileException::FL_READ, name_, __LINE__);
    std::string buffer;
    try {
        buffer.resize(static_cast<size_t>(count) + 1);
    } catch (const std::exception&) {
        fail(FileException::FL_MEM, "Unable to read from the file: " + name_, __LINE__);
    }
    int64_t n = read(&buffer[0], count);
    buffer.resize(static_cast<size_t>(n));
    text.swap(buffer);
    return n == count;
}

int64_t FileGZ::write(const char* buffer, int64_t length)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (access_ & ACCESS_READ || length < 0)
        fail(FileException::FL_CANNOT_WRITE, name_, __LINE__);
    int64_t total = 0;
    while (total < length) {
        unsigned piece = static_cast<unsigned>(std::min<int64_t>(length - total, INT_MAX));
        int n = gzwrite(handleOf(gz_), buffer + total, piece);
        if (n <= 0) {
            const std::string why = Platform::lastErrorText();
            writeFailed_ = true;
            failWithReason(FileException::FL_WRITE, name_, name_ + ": " + why, __LINE__);
        }
        total += n;
    }
    position_ += total;
    length_ += total;
    return total;
}

bool FileGZ::write(const std::string& text)
{
    return write(text.data(), static_cast<int64_t>(text.size())) ==
           static_cast<int64_t>(text.size());
}

void FileGZ::writeLine(const std::string& text)
{
    write(text + "\n");
}

std::string& FileGZ::readLine(std::string& line)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (!(access_ & ACCESS_READ))
        fail(FileException::FL_CANNOT_READ, name_, __LINE__);
    if (eof())
        fail(FileException::FL_EOF, name_, __LINE__);
    std::string text;
    gzFile gz = handleOf(gz_);
    for (;;) {
        int c = gzgetc(gz);
        if (c < 0) {
            int error = Z_OK;
            gzerror(gz, &error);
            if (error != Z_OK)
                fail(FileException::FL_READ, name_, __LINE__);
            break;
        }
        ++position_;
        if (c == '\n')
            break;
        text += static_cast<char>(c);
    }
    if (!StringUtil::isPrintable(text))
        fail(CONTROL_BYTE_CODE, name_, __LINE__);
    line.swap(text);
    return line;
}

void FileGZ::flush()
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
}

int64_t FileGZ::seek(int64_t offset, int origin)
{
    if (closed_)
        fail(FileException::FL_IS_CLOSED, name_, __LINE__);
    if (offset == 0 && origin == SEEK_CURRENT)
        return position_;
    int64_t target = 0;
    switch (origin) {
    case SEEK_BEGIN:
        target = offset;
        break;
    case SEEK_CURRENT:
        if (offset < 0 && -offset > position_)
            fail(FileException::FL_ERROR, "FileGZ seek underflow.", __LINE__);
        target = position_ + offset;
        break;
    case SEEK_END_OF_FILE: {
        int64_t back = offset < 0 ? -offset : offset;
        if (back > length_)
            fail(FileException::FL_ERROR, "FileGZ seek overflow.", __LINE__);
        target = length_ - back;
        break;
    }
    default:
        fail(FileException::FL_POSITION, name_, __LINE__);
    }
    if (target < 0)
        fail(FileException::FL_POSITION, name_, __LINE__);
    bool writing = !(access_ & ACCESS_READ);
    if (writing && target < position_)
        fail(FileException::FL_ERROR, "FileGZ negative seek for FILE_WRITE.", __LINE__);
    gzFile gz = handleOf(gz_);
    z_off_t r = writing || target >= position_
                    ? gzseek(gz, static_cast<z_off_t>(target - position_), SEEK_CUR)
                    : gzseek(gz, static_cast<z_off_t>(target), SEEK_SET);
    if (r < 0)
        fail(FileException::FL_POSITION, name_, __LINE__);
    int64_t now = gztell(gz);
    if (now < 0)
        fail(FileException::FL_POSITION, name_, __LINE__);
    if (writing && now > length_)
        length_ = now;
    position_ = now;
    return position_;
}

int64_t FileGZ::tell() { return position_; }

bool FileGZ::eof() { return position_ >= length_; }

} // namespace Telvar
