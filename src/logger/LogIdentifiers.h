#pragma once

#include <cstdint>
#include <string>

namespace Telvar {

// Module identifiers (0..57) of the product family; the ones this program uses.
constexpr int32_t MODULE_CORE = 0;
constexpr int32_t MODULE_CONFIGURATION = 1;
constexpr int32_t MODULE_LOGGER = 2;
constexpr int32_t MODULE_PROTOCOL = 3;
constexpr int32_t MODULE_TIME = 4;
constexpr int32_t MODULE_IPC = 6;
constexpr int32_t MODULE_TASKWARDEN = 8;
constexpr int32_t MODULE_RAVLON = 9;
constexpr int32_t MODULE_AGENT = 21;
constexpr int32_t MODULE_COUNT = 58;
// parseModuleName's answer for an unknown name.
constexpr int32_t MODULE_UNKNOWN = 64;

// Application identifiers (1..49).
constexpr int32_t APPLICATION_CORE = 1;
constexpr int32_t APPLICATION_RAVLON = 8;
constexpr int32_t APPLICATION_COUNT = 49;
// parseApplicationName's answer for an unknown name.
constexpr int32_t APPLICATION_UNKNOWN = 0;

// Display name, or "<<Unknown>>" outside the table.
std::string moduleName(int32_t moduleId);
// Lower-cases the name and looks it up among the keys; MODULE_UNKNOWN if absent.
int32_t parseModuleName(const std::string& name);

// Display name, or "<<Unknown>>" outside the table.
std::string applicationName(int32_t applicationId);
// Lower-cases the name and looks it up among the keys; APPLICATION_UNKNOWN if absent.
int32_t parseApplicationName(const std::string& name);

} // namespace Telvar
