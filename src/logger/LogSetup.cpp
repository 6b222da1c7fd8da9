#include "logger/LogSetup.h"

#include <exception>

#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogMessengerIPC.h"
#include "logger/LogSettings.h"
#include "logger/LogSeverity.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"

namespace Telvar {

namespace {

void normaliseDirectory(std::string& directory)
{
    StringUtil::normaliseSeparators(directory);
    StringUtil::appendSeparator(directory);
}

// The directory, made with its missing parents when needed.
bool ensureDirectory(const std::string& directory)
{
    if (fileExists(directory))
        return true;
    std::string failed;
    if (!makeParentDirectories(directory, failed))
        return false;
    std::string path = directory;
    while (path.size() > 1 && Platform::isPathSeparator(path.back()))
        path.pop_back();
    if (!fileExists(path))
        createDirectory(path);
    return fileExists(path);
}

} // namespace

int32_t LogSetup::applySchemeWords(int32_t scheme, const std::string& list)
{
    std::string rest = list;
    while (!rest.empty()) {
        std::string word = StringUtil::splitFirst(rest, ',');
        StringUtil::trim(word);
        StringUtil::toLower(word);
        if (word == "none")
            scheme = ROTATE_NONE;
        else if (word == "init")
            scheme |= ROTATE_INIT;
        else if (word == "time")
            scheme |= ROTATE_TIME;
        else if (word == "size")
            scheme |= ROTATE_SIZE;
    }
    return scheme;
}

void LogSetup::debug(int32_t level, const std::string& text) const
{
    if (!unit.isNull())
        unit->debug(level, text);
}

bool LogSetup::start()
{
    if (!unit.isNull())
        return configure();
    try {
        setLogApplicationName(applicationName(applicationId));

        if (logDirectory.empty()) {
            std::string directory;
            if (getResource(RESOURCE_LOG_DIR, directory) == RESOURCE_OK)
                logDirectory = directory;
        }
        // Kept in its own case: lower-casing breaks the path on file systems
        // that tell case apart.
        if (!logDirectory.empty())
            normaliseDirectory(logDirectory);

        uint32_t level = 0;
        if (getResourceNumber(RESOURCE_DEBUG_LEVEL, level) != RESOURCE_OK)
            level = 0;
        if (level <= 5)
            setDebugLevel(static_cast<int32_t>(level));

        std::string schemeWords;
        if (getResource(RESOURCE_ROTATION, schemeWords) == RESOURCE_OK)
            setRotationScheme(applySchemeWords(rotationScheme(), schemeWords));

        SmartPointer<LogMessenger> newMessenger(new LogMessengerIPC());
        if (!newMessenger->setLogFile(logDirectory + logFileName))
            return false;
        SmartPointer<LoggerCentre> newCentre(new LoggerCentre(applicationId, newMessenger));
        SmartPointer<LoggerUnit> newUnit(new LoggerUnit(newCentre, moduleId));
        messenger = newMessenger;
        centre = newCentre;
        unit = newUnit;
    } catch (...) {
        return false;
    }
    return !unit.isNull();
}

void LogSetup::applyLogDirectory()
{
    std::string directory;
    if (configuration->getDirName("Telvar.directories.log", directory) != ConfReader::CONF_OK)
        return;
    normaliseDirectory(directory);
    if (directory == logDirectory)
        return;
    if (!ensureDirectory(directory)) {
        debug(1, "Log directory " + directory + " cannot be created; logging stays in " + logDirectory);
        return;
    }
    if (messenger.isNull() || !messenger->setLogFile(directory + logFileName)) {
        debug(1, "Log file cannot be moved to " + directory + "; logging stays in " + logDirectory);
        return;
    }
    logDirectory = directory;
}

bool LogSetup::configure()
{
    if (!configuration)
        return false;
    try {
        applyLogDirectory();

        std::string word;
        if (configuration->getString("log.time", word, true, true) == ConfReader::CONF_OK)
            setTimeMode(word == "local" ? TIME_MODE_LOCAL : word == "zulu" ? TIME_MODE_ZULU : TIME_MODE_OTHER);
        else
            setTimeMode(TIME_MODE_LOCAL);

        const int32_t before = rotationScheme();
        std::string schemeWords;
        if (configuration->getString("log.rotation.scheme", schemeWords) == ConfReader::CONF_OK)
            setRotationScheme(applySchemeWords(ROTATE_NONE, schemeWords));

        TimeSpan interval(0);
        TimeSpanParts parts;
        if (configuration->getTimeSpan("log.rotation.time", parts) == ConfReader::CONF_OK) {
            try {
                interval = TimeSpan(parts);
            } catch (const TimeException& e) {
                debug(1, "log.rotation.time is out of range; no rotation by age: " + e.fullText());
            }
        }
        setRotationInterval(interval);

        int32_t size = 0;
        if (configuration->getInteger("log.rotation.size", size) != ConfReader::CONF_OK)
            size = 0;
        setRotationSize(size);

        std::string severity;
        if (configuration->getString("log.global.severity", severity, true) == ConfReader::CONF_OK) {
            const int32_t threshold = parseSeverity(severity);
            if (threshold != SEVERITY_INVALID)
                setSeverityThreshold(threshold);
        } else {
            setSeverityThreshold(0);
        }

        int32_t level = 0;
        if (configuration->getInteger("log.global.debug-level", level) != ConfReader::CONF_OK)
            level = 0;
        setDebugLevel(level);

        if ((rotationScheme() & ROTATE_INIT) && !(before & ROTATE_INIT))
            setInitRotationPending(true);
    } catch (const std::exception& e) {
        debug(1, std::string("Log configuration failed: ") + e.what());
    } catch (...) {
        debug(1, "Log configuration failed.");
    }
    return true;
}

} // namespace Telvar
