#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/DateTime.h"
#include "common/SmartPointer.h"
#include "common/TimeSpan.h"

namespace Telvar {

class LoggerUnit;

// Removes delivered data files (".data") that were last written longer ago
// than the kept span from one directory. Files still being written
// (".make", ".make.tmp") and anything that is not a plain file are never
// touched. Each removal is a debug line; their count is a NOTICE at most
// once a day. A span of 0 keeps every file.
class DataRetention {
public:
    static constexpr int32_t MSG_REMOVED = 14;  // notice: count, span
    static constexpr int32_t SWEEP_SECONDS = 600;
    static constexpr int32_t REPORT_SECONDS = 24 * 3600;

    // Set while configuring, when the delivery thread does not run.
    void configure(const std::string& directory, const TimeSpan& keep);
    void setLoggerUnit(const SmartPointer<LoggerUnit>& unit) { unit_ = unit; }
    const TimeSpan& keep() const { return keep_; }

    // Sweeps at most every SWEEP_SECONDS and reports what was removed.
    void tick(const DateTime& now);
    // One pass at now; the number of files removed.
    size_t sweep(const DateTime& now);

private:
    void report(const DateTime& now);

    std::string directory_;
    TimeSpan keep_{0};
    DateTime nextSweep_{int64_t(0)};
    DateTime nextReport_{int64_t(0)};
    size_t unreported_ = 0;
    SmartPointer<LoggerUnit> unit_;
};

} // namespace Telvar
