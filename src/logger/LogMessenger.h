#pragma once

#include <mutex>
#include <string>

#include "common/SmartPointer.h"
#include "logger/LoggerAgent.h"

namespace Telvar {

// Turns record texts into printed lines and hands them to the sink.
class LogMessenger {
public:
    LogMessenger() = default;
    explicit LogMessenger(SmartPointer<LoggerAgent> sink);
    // Writes to a log file sink (LoggerAgentFile) on logFile.
    explicit LogMessenger(const std::string& logFile);
    LogMessenger(const LogMessenger&) = delete;
    LogMessenger& operator=(const LogMessenger&) = delete;
    virtual ~LogMessenger();

    // Decodes the record text, words a message from the catalogue, formats
    // the line and writes it. False when the text does not decode, there is
    // no sink or the sink fails. Never throws.
    virtual bool deliver(const std::string& recordText);

    SmartPointer<LoggerAgent> sink() const;
    void setSink(SmartPointer<LoggerAgent> sink);

    // Moves the log file sink to path; without a sink one is made. False for
    // a sink that is not a log file, or when the file cannot be set.
    bool setLogFile(const std::string& path);

private:
    mutable std::mutex sinkMutex_;
    SmartPointer<LoggerAgent> sink_;
};

} // namespace Telvar
