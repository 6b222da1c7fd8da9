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
    LogMessenger(const LogMessenger&) = delete;
    LogMessenger& operator=(const LogMessenger&) = delete;
    virtual ~LogMessenger();

    // Decodes the record text, words a message from the catalogue, formats
    // the line and writes it. False when the text does not decode, there is
    // no sink or the sink fails. Never throws.
    virtual bool deliver(const std::string& recordText);

    SmartPointer<LoggerAgent> sink() const;
    void setSink(SmartPointer<LoggerAgent> sink);

private:
    mutable std::mutex sinkMutex_;
    SmartPointer<LoggerAgent> sink_;
};

} // namespace Telvar
