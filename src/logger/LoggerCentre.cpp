#include "logger/LoggerCentre.h"

#include "logger/LogRecord.h"

namespace Telvar {

LoggerCentre::LoggerCentre(int32_t applicationId, SmartPointer<LogMessenger> messenger)
    : applicationId_(applicationId), messenger_(std::move(messenger))
{
}

// Only this centre's reference goes: another holder of the messenger may be
// delivering on another thread right now.
LoggerCentre::~LoggerCentre() { messenger_.reset(); }

bool LoggerCentre::log(LogRecord& record)
{
    record.applicationId = applicationId_;
    LogMessenger* messenger = messenger_.get();
    if (messenger == nullptr)
        return false;
    return messenger->deliver(encodeRecord(record));
}

} // namespace Telvar
