#pragma once

#include <cstdint>
#include <string>

namespace Telvar {

// Message severities; the numbers are stored and transmitted.
constexpr int32_t SEVERITY_NOTICE = 0;
constexpr int32_t SEVERITY_WARNING = 1;
constexpr int32_t SEVERITY_ERROR = 2;
constexpr int32_t SEVERITY_CRITICAL = 3;
constexpr int32_t SEVERITY_FATAL = 4;
// Threshold only: nothing is logged.
constexpr int32_t SEVERITY_NONE = 5;
// parseSeverity's answer for a word it does not know.
constexpr int32_t SEVERITY_INVALID = 6;

// "NOTICE" .. "FATAL" for 0..4, the empty text otherwise.
std::string severityName(int32_t severity);
// Case-sensitive: the five words give 0..4, "NONE" and "NOTHING" give 5,
// anything else SEVERITY_INVALID.
int32_t parseSeverity(const std::string& word);

} // namespace Telvar
