#pragma once

// The counter module's way into its LoggerUnit: debug texts worded from a
// printf-style template, and numbered messages with text parameters.

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {
namespace CounterLog {

// Catalogue messages of the counter module.
constexpr int32_t MSG_PDH_ERROR = 9;           // warning: a value could not be read
constexpr int32_t MSG_NO_VALID_DATA = 10;      // warning: a counter has no valid data
constexpr int32_t MSG_NO_NAME_TABLE = 16;      // fatal: the English name table cannot be read
constexpr int32_t MSG_BAD_LOOKUP_ARGUMENT = 17; // warning: a name lookup refused its argument
constexpr int32_t MSG_CANNOT_ADD = 18;         // warning: a counter cannot be added or translated
constexpr int32_t MSG_OUT_OF_MEMORY = 26;      // fatal
constexpr int32_t MSG_VALUES_AGAIN = 33;       // notice: a counter that failed (or was absent) gives values

bool debug(int32_t level, const std::string& text);
// The template's %s and %i filled in order from the arguments given.
bool debugf(int32_t level, const char* templ, ...) __attribute__((format(printf, 2, 3)));
bool warning(int32_t messageId, const std::vector<std::string>& parameters = {});
bool notice(int32_t messageId, const std::vector<std::string>& parameters = {});
bool fatal(int32_t messageId, const std::vector<std::string>& parameters = {});

} // namespace CounterLog
} // namespace Telvar
