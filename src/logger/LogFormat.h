#pragma once

#include <cstdint>
#include <string>

namespace Telvar {

struct LogRecord;

// Fills a catalogue template (%s, %i, %f, %d, %p, %%) from a ParamStream
// string. Missing parameters show as "<???>", parameters of another type
// than the placeholder as \value\. Never fails.
std::string formatTemplate(const std::string& templ, const std::string& parameters);

// "(app.mm)   " for records without message number, "(app.mm.nn)" otherwise.
std::string formatLogId(int32_t applicationId, int32_t moduleId, int32_t messageId);

// The printed log line; found tells whether the message text came from the
// catalogue.
std::string formatLine(const LogRecord& record, bool found);

} // namespace Telvar
