#include "support/TestInstallation.h"

#include <atomic>

#include "common/Resources.h"
#include "platform/Process.h"

namespace Telvar {
namespace Testing {

TestInstallation::TestInstallation() : dir_("telvar-install")
{
    Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", dir_.file("registry"));
    Platform::unsetEnvironmentVariable("TELVAR_ENV");
    dir_.makeDirectory("conf");
    dir_.makeDirectory("install");
    dir_.makeDirectory("logs");
    dir_.makeDirectory("temp");
    setResource("ConfigurationDir", configurationDirectory());
    setResource("InstallDir", installDirectory());
    setResource("StartupLogDir", logDirectory());
    // Debug texts from the first step on.
    const uint32_t level = 5;
    writeRegistryText(resourceKeyPath(), "StartupDebugLevel", Platform::REGISTRY_DWORD, &level, sizeof level, false);
}

TestInstallation::~TestInstallation() { Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT"); }

bool TestInstallation::writeConfiguration(const std::string& text, const std::string& name) const
{
    return TempDir::writeFile(configurationDirectory() + name, text);
}

std::string TestInstallation::quotedValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string TestInstallation::agentKeys(const std::string& catalogueBase) const
{
    std::string text = "Telvar() = \"\" {\n  directories() = \"\" {\n";
    if (!catalogueBase.empty())
        text += "    conf(DirName) = \"" + quotedValue(catalogueBase) + "\" {}\n";
    text += "    temp(DirName) = \"" + quotedValue(temporaryDirectory()) + "\" {}\n  }\n}\n";
    return text;
}

std::string TestInstallation::log() const { return TempDir::readFile(logDirectory() + "RavlonDebug.log"); }

std::string TestInstallation::uniqueName(const std::string& stem)
{
    static std::atomic<int> counter{0};
    return stem + "_" + std::to_string(Platform::currentProcessId()) + "_" + std::to_string(++counter);
}

} // namespace Testing
} // namespace Telvar
