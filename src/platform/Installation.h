#pragma once

#include <string>

namespace Telvar {
namespace Platform {

// The installation's group: besides root and the program's own account, its
// members may command the program and read what it writes; nobody else may.
constexpr const char* DEFAULT_INSTALLATION_GROUP = "ravlon";

// Names the group the command slots trust (the default until set).
void setInstallationGroup(const std::string& name);
std::string installationGroup();

// Makes the files and directories this process creates from now on
// unreadable for others (0640 and 0750 at most) and, where the system lets
// the process, of the installation's group. False when that group does not
// exist here (then they keep the process's own group).
bool adoptInstallationGroup();

// Gives a directory this process made to the installation's group, so its
// members reach what lands below it; links are not followed. False when
// there is no such group or the system refuses.
bool shareWithInstallationGroup(const std::string& directory);

} // namespace Platform
} // namespace Telvar
