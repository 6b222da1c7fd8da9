#include "logger/LogMessenger.h"

#include "common/Exception.h"
#include "logger/LogCommons.h"
#include "logger/LogFormat.h"
#include "logger/LogRecord.h"
#include "logger/LogSettings.h"
#include "logger/LoggerAgentFile.h"

namespace Telvar {

LogMessenger::LogMessenger(SmartPointer<LoggerAgent> sink) : sink_(std::move(sink)) {}

LogMessenger::LogMessenger(const std::string& logFile)
{
    LoggerAgentFile* file = new LoggerAgentFile();
    sink_ = SmartPointer<LoggerAgent>(file);
    file->setLogFile(logFile);
}

LogMessenger::~LogMessenger() = default;

bool LogMessenger::setLogFile(const std::string& path)
{
    try {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        if (sink_.isNull()) {
            SmartPointer<LoggerAgentFile> file(new LoggerAgentFile());
            if (!file->setLogFile(path))
                return false;
            sink_ = SmartPointer<LoggerAgent>(file);
            return true;
        }
        LoggerAgentFile* file = dynamic_cast<LoggerAgentFile*>(sink_.get());
        return file != nullptr && file->setLogFile(path);
    } catch (...) {
        return false;
    }
}

SmartPointer<LoggerAgent> LogMessenger::sink() const
{
    std::lock_guard<std::mutex> lock(sinkMutex_);
    return sink_;
}

void LogMessenger::setSink(SmartPointer<LoggerAgent> sink)
{
    SmartPointer<LoggerAgent> previous;
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        previous = sink_;
        sink_ = std::move(sink);
    }
}

bool LogMessenger::deliver(const std::string& recordText)
{
    try {
        LogRecord record;
        if (!decodeRecord(recordText, record))
            return false;
        // Our own reference: the sink stays alive for this line even if it
        // is replaced meanwhile.
        SmartPointer<LoggerAgent> out = sink();
        try {
            bool found = false;
            if (!record.isDebug()) {
                SmartPointer<LogCommons> catalog = messageCatalog();
                std::string templ;
                if ((!catalog.isNull() && catalog->lookup(record.moduleId, record.messageId, templ)) ||
                    LogCommons::builtIn().lookup(record.moduleId, record.messageId, templ)) {
                    record.text = formatTemplate(templ, record.text);
                    found = true;
                }
            }
            std::string line = formatLine(record, found);
            if (out.isNull())
                return false;
            return out->write(line);
        } catch (TimeException& e) {
            e.addTrace("shared/library/logger/LogMessenger", 101);
            if (out.isNull())
                return false;
            return out->write(e.fullText());
        }
    } catch (...) {
        // Logging must not take its caller down.
        return false;
    }
}

} // namespace Telvar
