#include "platform/Installation.h"

#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/InstallationGroup.h"

namespace Telvar {
namespace Platform {

namespace {

// Group membership changes rarely; a sender's is looked up at most this
// often, so that a flood costs no database read per message.
constexpr auto MEMBERSHIP_TTL = std::chrono::seconds(60);
constexpr size_t MAX_CACHED_ACCOUNTS = 256;
constexpr mode_t NOT_FOR_OTHERS = 027;

struct Membership {
    bool member = false;
    std::chrono::steady_clock::time_point until;
};

struct GroupState {
    std::mutex lock;
    std::string name = DEFAULT_INSTALLATION_GROUP;
    bool resolved = false;
    bool found = false;
    gid_t gid = 0;
    std::map<uid_t, Membership> members;
};

GroupState& state()
{
    static GroupState* s = new GroupState;
    return *s;
}

// Called with the lock.
void resolve(GroupState& s)
{
    if (s.resolved)
        return;
    s.resolved = true;
    std::vector<char> buffer(16384);
    group entry;
    group* result = nullptr;
    s.found = ::getgrnam_r(s.name.c_str(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr;
    s.gid = s.found ? result->gr_gid : 0;
}

bool lookUpMember(uid_t uid, gid_t group)
{
    std::vector<char> buffer(16384);
    passwd entry;
    passwd* result = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) != 0 || result == nullptr)
        return false;
    if (result->pw_gid == group)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(result->pw_name, result->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(result->pw_name, result->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<size_t>(i)] == group)
            return true;
    return false;
}

} // namespace

void setInstallationGroup(const std::string& name)
{
    GroupState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const std::string wanted = name.empty() ? std::string(DEFAULT_INSTALLATION_GROUP) : name;
    if (wanted == s.name)
        return;
    s.name = wanted;
    s.resolved = false;
    s.members.clear();
}

std::string installationGroup()
{
    GroupState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.name;
}

bool adoptInstallationGroup()
{
    mode_t old = ::umask(NOT_FOR_OTHERS);
    ::umask(old | NOT_FOR_OTHERS);
    gid_t gid = 0;
    if (!Installation::groupId(gid))
        return false;
    // Root may take any group for what it creates; another account gives
    // its files its own primary group, which a service account's is.
    if (::geteuid() == 0 && ::getegid() != gid)
        ::setegid(gid);
    return true;
}

bool shareWithInstallationGroup(const std::string& directory)
{
    gid_t gid = 0;
    return Installation::groupId(gid) &&
           ::fchownat(AT_FDCWD, directory.c_str(), static_cast<uid_t>(-1), gid, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace Installation {

bool groupId(gid_t& gid)
{
    GroupState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    resolve(s);
    gid = s.gid;
    return s.found;
}

bool trustedSender(uid_t uid, gid_t gid)
{
    if (uid == 0 || uid == ::geteuid())
        return true;
    GroupState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    resolve(s);
    if (!s.found)
        return false;
    if (gid == s.gid)
        return true;
    const auto now = std::chrono::steady_clock::now();
    auto it = s.members.find(uid);
    if (it != s.members.end() && now < it->second.until)
        return it->second.member;
    if (s.members.size() >= MAX_CACHED_ACCOUNTS)
        s.members.clear();
    Membership& m = s.members[uid];
    m.member = lookUpMember(uid, s.gid);
    m.until = now + MEMBERSHIP_TTL;
    return m.member;
}

} // namespace Installation

} // namespace Platform
} // namespace Telvar
