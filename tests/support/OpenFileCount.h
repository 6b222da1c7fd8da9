#pragma once

#include <cstddef>

namespace Telvar {
namespace Test {

// Number of file descriptors this process has open (entries of /proc/self/fd).
size_t openFileCount();

} // namespace Test
} // namespace Telvar
