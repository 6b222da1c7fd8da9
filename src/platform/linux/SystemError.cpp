// The error numbers of this layer follow the Win32 numbering, so their texts
// are the ones Windows gives for them: logs read the same on both systems.
#include "platform/SystemError.h"

namespace Telvar {
namespace Platform {

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

} // namespace Platform
} // namespace Telvar
