#pragma once

#include <cstdint>

#include "common/SmartPointer.h"

namespace Telvar {

class LogCommons;

// Process-wide logging settings, shared by every LoggerUnit and read on
// every call, so reconfiguration takes effect at once.

constexpr int32_t TIME_MODE_OTHER = 0;
constexpr int32_t TIME_MODE_LOCAL = 1;
constexpr int32_t TIME_MODE_ZULU = 2;

// A message of severity s is logged when severityThreshold() <= s. Initially 0.
int32_t severityThreshold();
// Values outside 0..5 are ignored; the previous value stays.
void setSeverityThreshold(int32_t threshold);

// A debug text of level L is logged when L <= debugLevel(); 0 switches debug
// output off. Initially 5.
int32_t debugLevel();
// Values outside 0..5 are ignored; the previous value stays.
void setDebugLevel(int32_t level);

// Copied into each record. Initially TIME_MODE_LOCAL.
int32_t timeMode();
// Values outside 0..2 are ignored.
void setTimeMode(int32_t mode);

// The catalogue used to word messages; null until one is loaded. The
// messenger takes its own reference per delivery, so replacing the catalogue
// while other threads log is safe.
SmartPointer<LogCommons> messageCatalog();
void setMessageCatalog(const SmartPointer<LogCommons>& catalog);

} // namespace Telvar
