#pragma once

#include <cstdint>
#include <string>

#include "common/SmartPointer.h"

namespace Telvar {

class ConfReader;
class LoggerCentre;
class LogMessenger;
class LoggerUnit;

// The program's logging set-up: where the log file goes, who logs, and the
// configuration whose log keys apply.
class LogSetup {
public:
    // Registry values read at start-up.
    static constexpr const char* RESOURCE_LOG_DIR = "StartupLogDir";
    static constexpr const char* RESOURCE_DEBUG_LEVEL = "StartupDebugLevel";
    static constexpr const char* RESOURCE_ROTATION = "LogFileRotationScheme";

    // Empty: start() takes it from the registry.
    std::string logDirectory;
    std::string logFileName;
    int32_t applicationId = 0;
    int32_t moduleId = 0;
    SmartPointer<LoggerCentre> centre;
    SmartPointer<LogMessenger> messenger;
    SmartPointer<LoggerUnit> unit;
    // Not owned; none: configure() fails.
    const ConfReader* configuration = nullptr;

    // Bootstrap from the registry, then messenger, centre and the program's
    // unit. With a unit already there it only runs configure(). Never throws.
    bool start();

    // Applies the log keys of the configuration; runs again at every
    // reconfiguration. False only without a configuration. Never throws.
    bool configure();

    // Scheme bits of a comma-separated list of "none", "init", "time" and
    // "size" added to scheme; "none" clears what came before it.
    static int32_t applySchemeWords(int32_t scheme, const std::string& list);

private:
    void applyLogDirectory();
    void debug(int32_t level, const std::string& text) const;
};

} // namespace Telvar
