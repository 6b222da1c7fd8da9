#include "platform/Installation.h"

#include <mutex>

namespace Telvar {
namespace Platform {

// Windows keeps access in the objects' own security: the group is only
// remembered, for the texts that name it.

namespace {

std::mutex& groupLock()
{
    static std::mutex* m = new std::mutex;
    return *m;
}

std::string& groupName()
{
    static std::string* name = new std::string(DEFAULT_INSTALLATION_GROUP);
    return *name;
}

} // namespace

void setInstallationGroup(const std::string& name)
{
    std::lock_guard<std::mutex> guard(groupLock());
    groupName() = name.empty() ? std::string(DEFAULT_INSTALLATION_GROUP) : name;
}

std::string installationGroup()
{
    std::lock_guard<std::mutex> guard(groupLock());
    return groupName();
}

bool adoptInstallationGroup() { return false; }

bool shareWithInstallationGroup(const std::string&) { return false; }

} // namespace Platform
} // namespace Telvar
