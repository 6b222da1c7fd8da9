#include "platform/NamedMutex.h"

#include <windows.h>

namespace Telvar {
namespace Platform {

NamedMutexResult createNamedMutex(const std::string& name, NamedMutexHandle& handle)
{
    handle = INVALID_NAMED_MUTEX;
    if (name.empty())
        return NamedMutexResult::FAILED;
    // Owned at once; an existing object (of any process, this one included)
    // is only looked at, never waited for.
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name.c_str());
    if (mutex == nullptr)
        return ::GetLastError() == ERROR_ACCESS_DENIED ? NamedMutexResult::ALREADY_EXISTS
                                                       : NamedMutexResult::FAILED;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return NamedMutexResult::ALREADY_EXISTS;
    }
    handle = static_cast<NamedMutexHandle>(reinterpret_cast<uintptr_t>(mutex));
    return NamedMutexResult::CREATED;
}

bool namedMutexHolder(const std::string&, uint32_t&)
{
    // A mutex does not name its owner.
    return false;
}

bool releaseNamedMutex(NamedMutexHandle handle)
{
    if (handle == INVALID_NAMED_MUTEX || handle == 0)
        return false;
    HANDLE mutex = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
    ::ReleaseMutex(mutex);
    return ::CloseHandle(mutex) != 0;
}

} // namespace Platform
} // namespace Telvar
