#pragma once

#include <cstdint>

#include "common/SmartPointer.h"
#include "logger/LogMessenger.h"

namespace Telvar {

struct LogRecord;

// The process's hub: stamps the application into each record and passes the
// record text to the messenger.
class LoggerCentre {
public:
    LoggerCentre(int32_t applicationId, SmartPointer<LogMessenger> messenger);
    LoggerCentre(const LoggerCentre&) = delete;
    LoggerCentre& operator=(const LoggerCentre&) = delete;
    virtual ~LoggerCentre();

    // Sets the record's applicationId, encodes it and delivers it. False
    // without messenger. Exceptions from the messenger propagate (the unit
    // catches them).
    bool log(LogRecord& record);

    int32_t applicationId() const { return applicationId_; }
    const SmartPointer<LogMessenger>& messenger() const { return messenger_; }

private:
    int32_t applicationId_;
    SmartPointer<LogMessenger> messenger_;
};

} // namespace Telvar
