#pragma once

#include <cstdint>

namespace Telvar {
namespace Testing {

// A full disk for this process: while the object lives, no file can grow
// beyond bytes (writes past it fail as on a full disk, EFBIG instead of
// ENOSPC). Affects every thread of the process; restores the old limit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes);
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit();

private:
    uint64_t oldSoft_;
    uint64_t oldHard_;
};

} // namespace Testing
} // namespace Telvar
