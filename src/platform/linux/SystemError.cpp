// The error numbers of this layer follow the Win32 numbering, so their texts
// are the ones Windows gives for them: logs read the same on both systems.
#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace Telvar {
namespace Platform {

namespace {

[[maybe_unused]] const char* pickStrerror(const char* answer, const char*) { return answer; }
[[maybe_unused]] const char* pickStrerror(int answer, const char* buffer) { return answer == 0 ? buffer : "Unknown error"; }

} // namespace

std::string systemErrorMessage(uint32_t error)
{
    switch (error) {
    case ERR_FILE_NOT_FOUND:
        return "The system cannot find the file specified.";
    case ERR_ACCESS_DENIED:
        return "Access is denied.";
    case ERR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case ERR_GEN_FAILURE:
        return "A device attached to the system is not functioning.";
    case ERR_NOT_SUPPORTED:
        return "The request is not supported.";
    case ERR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERR_SEM_TIMEOUT:
        return "The semaphore timeout period has expired.";
    case ERR_INVALID_NAME:
        return "The filename, directory name, or volume label syntax is incorrect.";
    case ERR_ALREADY_EXISTS:
        return "Cannot create a file when that file already exists.";
    case ERR_NETWORK_UNREACHABLE:
        return "The network location cannot be reached.";
    default:
        return "Error " + std::to_string(error);
    }
}

std::string errnoText(int error)
{
    if (error == 0)
        return "";
    char buffer[256];
    // The GNU form answers a pointer, the XSI form fills the buffer.
    auto answer = ::strerror_r(error, buffer, sizeof buffer);
    return pickStrerror(answer, buffer);
}

std::string lastErrorText() { return errnoText(errno); }

} // namespace Platform
} // namespace Telvar
