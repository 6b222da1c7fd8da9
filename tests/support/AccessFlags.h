#pragma once

#include <cstdint>
#include <functional>

#include "common/Exception.h"
#include "common/FileBase.h"

namespace Telvar {
namespace Testing {

// Short names of the file access flags, for tests that open files in many
// combinations: open(R | W | C).
namespace AccessFlags {
constexpr uint16_t R = FileBase::ACCESS_READ;
constexpr uint16_t W = FileBase::ACCESS_WRITE;
constexpr uint16_t T = FileBase::ACCESS_TRUNCATE;
constexpr uint16_t C = FileBase::ACCESS_CREATE;
constexpr uint16_t A = FileBase::ACCESS_APPEND;
constexpr uint16_t U = FileBase::ACCESS_UNSAFE;
constexpr uint16_t N = FileBase::ACCESS_NOLOCK;
} // namespace AccessFlags

// The FileException f throws; code -1 when it throws none.
inline FileException thrown(const std::function<void()>& f)
{
    try {
        f();
    } catch (const FileException& e) {
        return e;
    }
    return FileException(-1);
}

} // namespace Testing
} // namespace Telvar
