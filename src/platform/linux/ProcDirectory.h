#pragma once

// The process ids of a /proc listing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

// Lists a directory's numeric names with getdents64 into one large buffer
// kept between listings: no stat and no allocation per entry, and for a few
// thousand processes one or two system calls. On procfs the directory stays
// open and is rewound at each listing, which saves its path walk; any other
// directory (a recorded tree) is opened anew each time.
class ProcDirectory {
public:
    static constexpr size_t BUFFER_BYTES = 64 * 1024;
    explicit ProcDirectory(size_t bufferBytes = BUFFER_BYTES);
    ProcDirectory(const ProcDirectory&) = delete;
    ProcDirectory& operator=(const ProcDirectory&) = delete;
    ~ProcDirectory();

    // The numeric names of dir, ascending, into pids(); false when dir
    // cannot be listed.
    bool list(const std::string& dir);
    const std::vector<int64_t>& pids() const { return pids_; }

private:
    int descriptor(const std::string& dir, bool& kept);
    bool readAll(int fd);
    void forget();

    size_t size_;
    std::unique_ptr<char[]> buffer_;
    std::vector<int64_t> pids_;
    int fd_ = -1;  // the kept procfs directory
    std::string path_;
};

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
