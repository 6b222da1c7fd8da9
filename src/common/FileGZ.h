#pragma once

#include <cstdint>
#include <string>

#include "common/FileBase.h"

namespace Telvar {

// Gzip-compressed file over the zlib gzip functions; reads and positions are
// in the uncompressed data. Reading and writing at once is refused; an
// append rewrites the file (old content first) through ".orig.copy".
// Uncompressed files read unchanged.
class FileGZ : public FileBase {
public:
    explicit FileGZ(const std::string& name);
    // Commits a file that is still open; errors are swallowed.
    ~FileGZ() override;

    void open(uint16_t access) override;
    void close() override;
    void abort() override;
    bool read(std::string& text, int64_t count) override;
    int64_t read(char* buffer, int64_t count) override;
    bool write(const std::string& text) override;
    int64_t write(const char* buffer, int64_t length) override;
    std::string& readLine(std::string& line) override;
    void writeLine(const std::string& text) override;
    // No effect.
    void flush() override;
    int64_t seek(int64_t offset, int origin) override;
    int64_t tell() override;
    bool eof() override;

    // Uncompressed bytes: of the file when read, written so far when written.
    int64_t uncompressedLength() const { return length_; }

    static constexpr const char* ORIG_COPY_SUFFIX = ".orig.copy";
    static constexpr int APPEND_PIECE = 1024;

private:
    [[noreturn]] void fail(int32_t code, const std::string& text, int line) const;
    // The same, with what failed in the user's words first.
    [[noreturn]] void failWithReason(int32_t code, const std::string& text, const std::string& reason,
                                     int line) const;
    // The steps of open; each fails by throwing.
    bool checkOpenAccess(uint16_t access) const;  // true: for reading
    int64_t readableLength(const std::string& working) const;
    bool prepareForWriting(uint16_t access, const std::string& working, const std::string& origCopy);
    void appendOldContent(const std::string& origCopy, const std::string& working);
    // Closes the zlib handle; false on a zlib error.
    bool closeHandle();

    void* gz_ = nullptr; // gzFile
    int64_t length_ = 0;
};

} // namespace Telvar
