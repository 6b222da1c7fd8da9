#pragma once

#include <mutex>
#include <string>

#include "common/SmartPointer.h"
#include "logger/LogMessenger.h"

namespace Telvar {

class IPCClient;

// A messenger that also sends every numbered message to the core program:
// the record text travels as the payload of a "LOGMSG" message, so the
// receiver can word it from its own catalogue. Debug texts stay local.
class LogMessengerIPC : public LogMessenger {
public:
    static constexpr const char* CORE_MAILSLOT = "Telvar_Core";
    static constexpr const char* MESSAGE_TYPE = "LOGMSG";

    // Writes to LoggerAgentFile::DEFAULT_LOG_FILE until told another file.
    LogMessengerIPC();
    // Writes to sink and forwards to the mailslot target.
    LogMessengerIPC(SmartPointer<LoggerAgent> sink, const std::string& target = CORE_MAILSLOT);
    ~LogMessengerIPC() override;

    // The local line first, then the forward. The local result, or false
    // when the forward raised an error.
    bool deliver(const std::string& recordText) override;

    const std::string& target() const { return target_; }
    // Full text of the last error a forward raised; empty when none did.
    std::string lastForwardError() const;

private:
    std::string target_;
    // One client for all threads; sends on it are serialised here because a
    // mail slot's writer lock does not keep threads of one process apart.
    mutable std::mutex clientMutex_;
    IPCClient* client_ = nullptr;
    std::string lastForwardError_;
};

} // namespace Telvar
