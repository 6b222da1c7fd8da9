#pragma once

#include <functional>
#include <string>

namespace Telvar {
namespace Testing {

// Polls the condition every couple of milliseconds until it holds (true) or
// ms milliseconds have passed (false). The time is only an upper bound: a
// loaded machine makes a test slower, never wrong.
bool waitFor(const std::function<bool()>& condition, int ms = 10000);

// A mailslot name of the running test's own: its suite, this process's id
// and what the slot is for, so that test programs run side by side
// (ctest -j) never share a slot.
std::string slotName(const std::string& what);

} // namespace Testing
} // namespace Telvar
