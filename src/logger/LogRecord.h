#pragma once

#include <cstdint>
#include <string>

#include "common/DateTime.h"

namespace Telvar {

// One log entry, as it travels from a LoggerUnit to the sink.
struct LogRecord {
    static constexpr int32_t KIND_DEBUG = 0;
    static constexpr int32_t KIND_MESSAGE = 1;
    static constexpr int32_t NO_MESSAGE_ID = 99999;

    int32_t kind = KIND_DEBUG;
    int32_t applicationId = 0;
    int32_t moduleId = 0;
    DateTime time{int64_t(0)};
    int32_t timeMode = 1;      // not part of the record text
    int32_t severity = 0;      // messages
    int32_t debugLevel = 0;    // debug texts
    int32_t messageId = NO_MESSAGE_ID;
    // Debug: the finished text. Message: the encoded ParamStream string.
    std::string text;
    uint32_t threadId = 0;

    bool isDebug() const { return kind == KIND_DEBUG; }
};

// Record text separators.
constexpr char FIELD_SEPARATOR = '\x1C';
constexpr char PARAMETER_SEPARATOR = '\x1A';

// "Telvar", "DEBUG"/"LOG", application, module, seconds, severity or level,
// text, thread and (messages only) message number, each followed by 0x1C.
std::string encodeRecord(const LogRecord& record);
// False (record unspecified) unless the text starts with the "Telvar" field
// and a "DEBUG" or "LOG" field.
bool decodeRecord(const std::string& text, LogRecord& record);
// True for the text of a debug record, judged from its second field.
bool isDebugRecordText(const std::string& text);

} // namespace Telvar
