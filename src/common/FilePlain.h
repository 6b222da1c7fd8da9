#pragma once

#include <cstdint>
#include <string>

#include "common/BasicFile.h"
#include "common/FileBase.h"

namespace Telvar {

// Ordinary binary file; all input and output goes through a BasicFile.
class FilePlain : public FileBase {
public:
    explicit FilePlain(const std::string& name);
    // Commits a file that is still open; errors are swallowed.
    ~FilePlain() override;

    void open(uint16_t access) override;
    void close() override;
    void abort() override;
    bool read(std::string& text, int64_t count) override;
    int64_t read(char* buffer, int64_t count) override;
    bool write(const std::string& text) override;
    int64_t write(const char* buffer, int64_t length) override;
    std::string& readLine(std::string& line) override;
    void writeLine(const std::string& text) override;
    void flush() override;
    int64_t seek(int64_t offset, int origin) override;
    int64_t tell() override;
    bool eof() override;
    void truncate(int64_t length) override;

    // The BasicFile open mode for a flag set (0 for none).
    static int streamMode(uint16_t access);

private:
    [[noreturn]] void fail(int32_t code, const std::string& text, int line) const;
    // The same, with what failed in the user's words first.
    [[noreturn]] void failWithReason(int32_t code, const std::string& text, const std::string& reason,
                                     int line) const;
    // Marks the copy as unfit for a commit, then fails with FL_WRITE.
    [[noreturn]] void failWrite(int line);
    std::string writeErrorText() const;

    BasicFile stream_;
};

} // namespace Telvar
