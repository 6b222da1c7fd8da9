#include "support/OpenFileCount.h"

#include <filesystem>
#include <system_error>

namespace Telvar {
namespace Test {

size_t openFileCount()
{
    std::error_code error;
    size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

} // namespace Test
} // namespace Telvar
