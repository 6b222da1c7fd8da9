#pragma once

#include <functional>

#include "platform/Process.h"

namespace Telvar {
namespace Testing {

// Second processes for tests on systems that fork.

// Runs body in a child copy of this process; the child exits with body's
// result. Returns the child's id, or -1 when no child could be made.
Platform::ProcessId forkChild(const std::function<int()>& body);

// Ends a process at once, as a kill -9 would.
bool killProcessHard(Platform::ProcessId pid);

// Waits up to timeoutMs (negative: forever) for a child to end. Returns its
// exit code, 128 + signal number when a signal ended it, or -1 on timeout.
int waitChild(Platform::ProcessId pid, int timeoutMs);

} // namespace Testing
} // namespace Telvar
