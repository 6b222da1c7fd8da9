#pragma once

// A collector installation under a test directory: a private resource store
// (TELVAR_REGISTRY_ROOT) with "ConfigurationDir", "InstallDir" and
// "StartupLogDir", and a configuration directory to write ravlon.conf into.
// The environment is restored when the object goes.
//
//   Testing::TestInstallation install;
//   install.writeConfiguration(install.agentKeys(PROJECT_ROOT_DIR "/etc/"));
//   agent.setInstanceLockName(Testing::TestInstallation::uniqueName("lock"));

#include <string>

#include "support/TempDir.h"

namespace Telvar {
namespace Testing {

class TestInstallation {
public:
    TestInstallation();
    TestInstallation(const TestInstallation&) = delete;
    TestInstallation& operator=(const TestInstallation&) = delete;
    ~TestInstallation();

    // Directories, each ending in "/".
    std::string configurationDirectory() const { return dir_.path() + "/conf/"; }
    std::string installDirectory() const { return dir_.path() + "/install/"; }
    std::string logDirectory() const { return dir_.path() + "/logs/"; }
    std::string temporaryDirectory() const { return dir_.path() + "/temp/"; }
    const TempDir& dir() const { return dir_; }

    // Writes configurationDirectory() + name.
    bool writeConfiguration(const std::string& text, const std::string& name = "ravlon.conf") const;
    // The "Telvar" block with the catalogue base (empty: none) and the
    // temporary directory.
    std::string agentKeys(const std::string& catalogueBase) const;
    // text escaped for a quoted configuration value, where a backslash
    // escapes the next character (Windows paths have theirs doubled).
    static std::string quotedValue(const std::string& text);
    // The program's debug log as written so far.
    std::string log() const;

    // A name no other test process uses.
    static std::string uniqueName(const std::string& stem);

private:
    TempDir dir_;
};

} // namespace Testing
} // namespace Telvar
