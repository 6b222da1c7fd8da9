#pragma once

#include <cstdint>
#include <string>

#include "common/SmartPointer.h"

namespace Telvar {

class LogCommons;
class TimeSpan;

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

// Log file rotation, shared by every log file sink. Scheme bits:
constexpr int32_t ROTATE_NONE = 0;
constexpr int32_t ROTATE_INIT = 1;
constexpr int32_t ROTATE_TIME = 2;
constexpr int32_t ROTATE_SIZE = 4;

// Initially ROTATE_NONE. Bits outside the three above are dropped.
int32_t rotationScheme();
void setRotationScheme(int32_t scheme);
// Initially zero: no rotation by age.
TimeSpan rotationInterval();
void setRotationInterval(const TimeSpan& interval);
// Megabytes; 10 whenever a log file sink is created. Not positive: no
// rotation by size.
int32_t rotationSize();
void setRotationSize(int32_t megabytes);
// Set while a start-up rotation is wanted; initially true. Configuration arms
// it again when "init" joins the scheme.
bool initRotationPending();
void setInitRotationPending(bool pending);
// Lines between flushes of the log file; initially 1 (every line). Values
// below 1 are ignored.
int32_t logFlushPeriod();
void setLogFlushPeriod(int32_t lines);

// Prefix of the registry values "LogOpened" and "LogCounter"; "core" until set.
std::string logApplicationName();
void setLogApplicationName(const std::string& name);

} // namespace Telvar
