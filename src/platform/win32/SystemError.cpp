#include "platform/SystemError.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

namespace Telvar {
namespace Platform {

std::string systemErrorMessage(uint32_t error)
{
    // The numbers this program reports read as Windows words them in English,
    // whatever language the host speaks (and also under emulators that word
    // them their own way), so that logs compare across hosts.
    switch (error) {
    case ERR_SUCCESS: return "The operation completed successfully.";
    case ERR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERR_ACCESS_DENIED: return "Access is denied.";
    case ERR_INVALID_HANDLE: return "The handle is invalid.";
    case ERR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERR_GEN_FAILURE: return "A device attached to the system is not functioning.";
    case ERR_NOT_SUPPORTED: return "The request is not supported.";
    case ERR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERR_SEM_TIMEOUT: return "The semaphore timeout period has expired.";
    case ERR_INVALID_NAME: return "The filename, directory name, or volume label syntax is incorrect.";
    case ERR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERR_NETWORK_UNREACHABLE: return "The network location cannot be reached.";
    default: break;
    }
    char* text = nullptr;
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                    reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        // No English table installed: the user's language, then a number.
        length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    }
    if (length == 0 || text == nullptr)
        return "Error " + std::to_string(error);
    std::string message(text, length);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

std::string errnoText(int error)
{
    if (error == 0)
        return "";
    char buffer[256];
    return ::strerror_s(buffer, sizeof buffer, error) == 0 ? buffer : "Error " + std::to_string(error);
}

std::string lastErrorText()
{
    // The C library's calls leave errno, the system's the thread's last error.
    const DWORD error = ::GetLastError();
    if (error != 0)
        return systemErrorMessage(error);
    return errnoText(errno);
}

} // namespace Platform
} // namespace Telvar
