#pragma once

#include "common/DateTime.h"

namespace Telvar {

// A deadline; expired once the current moment is strictly later.
class Timer {
public:
    // Deadline = now.
    Timer();
    virtual ~Timer();

    // Copies the moment and its offset.
    void setDeadline(const DateTime& moment);
    const DateTime& deadline() const { return deadline_; }
    bool isExpired() const;

private:
    DateTime deadline_;
};

} // namespace Telvar
