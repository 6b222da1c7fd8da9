#include "ravlon/CollectorSettings.h"

#include "common/ConfReader.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "platform/PathSeparator.h"

namespace Telvar {

namespace {

void normaliseDirectory(std::string& directory)
{
    StringUtil::normaliseSeparators(directory);
    StringUtil::appendSeparator(directory);
}

bool isDirectory(const std::string& path)
{
    FileInfo info;
    return getFileInfo(path, info) && info.exists && (info.attributes & FILE_ATTR_DIRECTORY) != 0;
}

} // namespace

int32_t CollectorSettings::readSchemes(const ConfReader* configuration, std::vector<Scheme>& schemes)
{
    std::vector<std::string> names;
    int32_t rc = ConfReader::getSubObjects(configuration, KEY_SCHEMES, names);
    if (rc != ConfReader::CONF_OK)
        return rc;
    for (const std::string& name : names) {
        Scheme s;
        s.name = name;
        s.key = std::string(KEY_SCHEMES) + "." + name;
        s.activeResult = ConfReader::getBool(configuration, s.key + ".active", s.active);
        s.kindResult = ConfReader::getString(configuration, s.key + ".scheme", s.kind, true, false);
        s.fileResult = ConfReader::getFileName(configuration, s.key + ".scheme.file", s.file);
        schemes.push_back(s);
    }
    return ConfReader::CONF_OK;
}

std::string CollectorSettings::installDirectory()
{
    std::string install;
    if (getResource("InstallDir", install) != RESOURCE_OK)
        install = currentDirectory();
    normaliseDirectory(install);
    return install;
}

std::string CollectorSettings::workingDirectory(const ConfReader* configuration, const std::string& installDirectory)
{
    std::string working;
    if (ConfReader::getDirName(configuration, "ravlon.working-dir", working) != ConfReader::CONF_OK) {
        const char sep = Platform::PATH_SEPARATOR;
        working = installDirectory + "Log" + sep + "temp" + sep + "RVL";
    }
    normaliseDirectory(working);
    return working;
}

bool CollectorSettings::makeDirectory(const std::string& directory)
{
    std::string failed;
    if (!makeParentDirectories(directory, failed))
        return false;
    std::string bare = directory;
    StringUtil::stripTrailingSeparators(bare);
    return isDirectory(bare);
}

bool CollectorSettings::canMakeDirectory(const std::string& directory, std::string& blocking)
{
    std::string path = directory;
    StringUtil::stripTrailingSeparators(path);
    while (!path.empty()) {
        if (fileExists(path)) {
            if (isDirectory(path))
                return true;
            blocking = path;
            return false;
        }
        std::string parent = StringUtil::directoryOf(path);
        StringUtil::stripTrailingSeparators(parent);
        if (parent == path)
            break;
        path = parent;
    }
    // A relative path whose every part is missing starts in the current directory.
    return true;
}

} // namespace Telvar
