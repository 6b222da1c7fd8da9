#pragma once

#include <cstdint>
#include <string>

namespace Telvar {
namespace Platform {

using NamedMutexHandle = int64_t;
constexpr NamedMutexHandle INVALID_NAMED_MUTEX = -1;

enum class NamedMutexResult { CREATED, ALREADY_EXISTS, FAILED };

// Creates the machine-wide mutex object of this name, owned by the caller,
// if it does not exist yet. It never waits: when the object exists (held by
// any process, or by another object of this one) the answer is
// ALREADY_EXISTS and nothing is kept. The object lives exactly as long as
// the returned handle is open and vanishes with the holding process, also
// when that process is killed. As with kernel objects, no other account
// can take or block a name this account uses (on Linux each account other
// than the installation's and root has names of its own; see
// linux/RuntimeDirectory.h).
NamedMutexResult createNamedMutex(const std::string& name, NamedMutexHandle& handle);

// The process that holds the object of this name; false when none does or
// the system does not tell.
bool namedMutexHolder(const std::string& name, uint32_t& processId);

// Gives the object up and closes the handle.
bool releaseNamedMutex(NamedMutexHandle handle);

} // namespace Platform
} // namespace Telvar
