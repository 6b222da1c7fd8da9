#pragma once

#include <sys/types.h>

namespace Telvar {
namespace Platform {
namespace Installation {

// The installation group's id; false when no group of that name exists.
bool groupId(gid_t& gid);

// Whether a process running as uid with effective group gid is one of the
// installation's people: root, this process's own account, or a member of
// the installation's group (its effective group, or by the group database).
bool trustedSender(uid_t uid, gid_t gid);

} // namespace Installation
} // namespace Platform
} // namespace Telvar
