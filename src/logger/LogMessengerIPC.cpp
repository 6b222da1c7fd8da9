#include "logger/LogMessengerIPC.h"

#include <new>

#include "common/Exception.h"
#include "common/IPCClient.h"
#include "logger/LogRecord.h"
#include "logger/LoggerAgentFile.h"

namespace Telvar {

LogMessengerIPC::LogMessengerIPC()
    : LogMessenger(std::string(LoggerAgentFile::DEFAULT_LOG_FILE)), target_(CORE_MAILSLOT)
{
}

LogMessengerIPC::LogMessengerIPC(SmartPointer<LoggerAgent> sink, const std::string& target)
    : LogMessenger(std::move(sink)), target_(target)
{
}

LogMessengerIPC::~LogMessengerIPC()
{
    std::lock_guard<std::mutex> lock(clientMutex_);
    delete client_;
    client_ = nullptr;
}

std::string LogMessengerIPC::lastForwardError() const
{
    std::lock_guard<std::mutex> lock(clientMutex_);
    return lastForwardError_;
}

bool LogMessengerIPC::deliver(const std::string& recordText)
{
    const bool local = LogMessenger::deliver(recordText);
    try {
        if (isDebugRecordText(recordText))
            return local;
        // Only real records go to the core program.
        LogRecord record;
        if (!decodeRecord(recordText, record))
            return false;
        std::lock_guard<std::mutex> lock(clientMutex_);
        if (client_ == nullptr) {
            client_ = new (std::nothrow) IPCClient(target_);
            if (client_ == nullptr)
                return false;
        }
        try {
            // An absent core program is not worth a word: the answer is ignored.
            client_->send(MESSAGE_TYPE, std::string(), recordText, std::string());
        } catch (IPCException& e) {
            e.addTrace("shared/library/logger/LogMessengerIPC", 50);
            lastForwardError_ = e.fullText();
            return false;
        }
    } catch (...) {
        return false;
    }
    return local;
}

} // namespace Telvar
