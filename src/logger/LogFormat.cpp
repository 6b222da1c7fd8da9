#include "logger/LogFormat.h"

#include <cstdio>
#include <vector>

#include "common/Exception.h"
#include "logger/LogRecord.h"
#include "logger/LogSeverity.h"

namespace Telvar {

namespace {

const char* const MISSING_PARAMETER = "<\?\?\?>";
const char* const NOT_FOUND = "(Message not found.)";
const char* const INVALID_TIME = "INVALID TIME STAMP  ";

// The pieces between 0x1A separators; the separator that closes the last
// parameter does not start another one.
std::vector<std::string> splitParameters(const std::string& parameters)
{
    std::vector<std::string> list;
    size_t start = 0;
    while (start < parameters.size()) {
        size_t end = parameters.find(PARAMETER_SEPARATOR, start);
        if (end == std::string::npos) {
            list.push_back(parameters.substr(start));
            break;
        }
        list.push_back(parameters.substr(start, end - start));
        start = end + 1;
    }
    return list;
}

// Type code a placeholder expects; 0 for none.
char expectedCode(char placeholder)
{
    switch (placeholder) {
    case 'd': return 'e';
    case 'f':
    case 'i': return 'n';
    case 'p': return 'p';
    case 's': return 's';
    case '%': return '%';
    default: return 0;
    }
}

std::string twoDigits(int32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", static_cast<int>(value));
    return buffer;
}

} // namespace

std::string formatTemplate(const std::string& templ, const std::string& parameters)
{
    std::vector<std::string> list = splitParameters(parameters);
    size_t next = 0;
    std::string out;
    out.reserve(templ.size() + parameters.size());
    size_t i = 0;
    while (i < templ.size()) {
        char c = templ[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 >= templ.size()) {
            out += MISSING_PARAMETER;
            break;
        }
        char expected = expectedCode(templ[i + 1]);
        i += 2;
        // A literal percent needs no parameter, so it also works in a
        // template whose parameters have run out.
        if (expected == '%') {
            out += '%';
            continue;
        }
        if (next >= list.size()) {
            out += MISSING_PARAMETER;
            continue;
        }
        const std::string& parameter = list[next++];
        char code = parameter.empty() ? 0 : parameter[0];
        std::string value = parameter.empty() ? std::string() : parameter.substr(1);
        if (expected != 0 && code == expected) {
            out += value;
        } else {
            out += '\\';
            out += value;
            out += '\\';
        }
    }
    return out;
}

std::string formatLogId(int32_t applicationId, int32_t moduleId, int32_t messageId)
{
    std::string id = "(" + std::to_string(applicationId) + "." + twoDigits(moduleId);
    if (messageId == LogRecord::NO_MESSAGE_ID)
        return id + ")   ";
    return id + "." + twoDigits(messageId) + ")";
}

std::string formatLine(const LogRecord& record, bool found)
{
    std::string line;
    line.reserve(record.text.size() + 64);

    std::string word = record.isDebug() ? "debug-" + std::to_string(record.debugLevel)
                                        : severityName(record.severity);
    if (word.size() < 8)
        word.append(8 - word.size(), ' ');
    line += word;
    line += ' ';

    try {
        line += record.time.toText(false, false, false);
        line += ' ';
    } catch (const TimeException&) {
        line += INVALID_TIME;
    }

    line += formatLogId(record.applicationId, record.moduleId, record.messageId);
    line += ' ';
    line += std::to_string(record.threadId);
    line += ": ";

    if (record.isDebug() || found) {
        line += record.text;
        return line;
    }
    line += NOT_FOUND;
    if (!record.text.empty()) {
        line += " Parameters: ";
        const std::string& p = record.text;
        for (size_t i = 1; i < p.size(); ++i) {
            if (p[i] == PARAMETER_SEPARATOR || p[i] == '\x1B') {
                line += "  ";
                ++i; // the next parameter's type code
            } else {
                line += p[i];
            }
        }
    }
    return line;
}

} // namespace Telvar
