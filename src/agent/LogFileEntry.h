#pragma once

#include <functional>

#include "agent/LogFile.h"
#include "common/DateTime.h"
#include "common/SmartPointer.h"
#include "common/TimeSpan.h"

namespace Telvar {

// One data file registered for delivery.
struct LogFileEntry {
    SmartPointer<LogFile> file;
    // Seconds; 0 takes the default delivery interval when the delivery
    // thread starts.
    TimeSpan interval;
    // Start of the current delivery period; 0 until the first tick.
    DateTime lastDelivered{int64_t(0)};
    // deliverAll passes over the entry unless forced.
    bool deliverOnlyWhenForced = false;
    // Called just before the file is ended; may be empty.
    std::function<void()> beforeDelivery;
};

} // namespace Telvar
