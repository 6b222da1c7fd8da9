#include "logger/LogRecord.h"

#include <limits>
#include <vector>

#include "common/StringUtil.h"

namespace Telvar {

namespace {

// Decimal value of the leading digits (an optional sign first), 0 when there
// are none; clamped to the given range instead of overflowing. Unlike the
// usual conversion a field is read from its first byte: fields are written
// by programs, so one led by white space is damaged and reads as 0.
int64_t leadingNumber(const std::string& text, int64_t minimum, int64_t maximum)
{
    int64_t value = 0;
    if (text.empty() || !StringUtil::isWhite(text[0]))
        StringUtil::leadingDigits(text, value);
    if (value < minimum)
        return minimum;
    if (value > maximum)
        return maximum;
    return value;
}

int32_t readInt32(const std::string& text)
{
    return static_cast<int32_t>(leadingNumber(text, std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max()));
}

uint32_t readUInt32(const std::string& text)
{
    return static_cast<uint32_t>(leadingNumber(text, 0, std::numeric_limits<uint32_t>::max()));
}

void addField(std::string& out, const std::string& field)
{
    out += field;
    out += FIELD_SEPARATOR;
}

const char* const RECORD_MARK = "Telvar";
const char* const DEBUG_MARK = "DEBUG";
const char* const MESSAGE_MARK = "LOG";

} // namespace

std::string encodeRecord(const LogRecord& record)
{
    std::string out;
    out.reserve(record.text.size() + 64);
    addField(out, RECORD_MARK);
    addField(out, record.isDebug() ? DEBUG_MARK : MESSAGE_MARK);
    addField(out, std::to_string(record.applicationId));
    addField(out, std::to_string(record.moduleId));
    addField(out, std::to_string(record.time.seconds()));
    addField(out, std::to_string(record.isDebug() ? record.debugLevel : record.severity));
    addField(out, record.text);
    addField(out, std::to_string(record.threadId));
    if (!record.isDebug())
        addField(out, std::to_string(record.messageId));
    return out;
}

bool decodeRecord(const std::string& text, LogRecord& record)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(FIELD_SEPARATOR, start);
        if (end == std::string::npos) {
            // The separator after the last field leaves nothing here.
            if (start < text.size())
                fields.push_back(text.substr(start));
            break;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (fields.size() < 2 || fields[0] != RECORD_MARK)
        return false;
    bool debug;
    if (fields[1] == DEBUG_MARK)
        debug = true;
    else if (fields[1] == MESSAGE_MARK)
        debug = false;
    else
        return false;

    auto field = [&fields](size_t i) { return i < fields.size() ? fields[i] : std::string(); };

    record.kind = debug ? LogRecord::KIND_DEBUG : LogRecord::KIND_MESSAGE;
    record.applicationId = readInt32(field(2));
    record.moduleId = readInt32(field(3));
    record.time = DateTime(leadingNumber(field(4), 0, DateTime::MAX_SECONDS));
    if (debug) {
        record.debugLevel = readInt32(field(5));
        record.severity = 0;
    } else {
        record.severity = readInt32(field(5));
        record.debugLevel = 0;
    }

    // The fields after the text are fixed, so a text that itself contains
    // 0x1C is taken whole instead of shifting the thread and message number.
    const size_t trailing = debug ? 1 : 2;
    if (fields.size() > 7 + trailing) {
        size_t textEnd = fields.size() - trailing;
        std::string joined = fields[6];
        for (size_t i = 7; i < textEnd; ++i) {
            joined += FIELD_SEPARATOR;
            joined += fields[i];
        }
        record.text = joined;
        record.threadId = readUInt32(fields[textEnd]);
        record.messageId = debug ? LogRecord::NO_MESSAGE_ID : readInt32(fields[textEnd + 1]);
    } else {
        record.text = field(6);
        record.threadId = readUInt32(field(7));
        record.messageId = debug ? LogRecord::NO_MESSAGE_ID : readInt32(field(8));
    }
    return true;
}

bool isDebugRecordText(const std::string& text)
{
    return text.size() >= 12 && text.compare(7, 5, DEBUG_MARK) == 0;
}

} // namespace Telvar
