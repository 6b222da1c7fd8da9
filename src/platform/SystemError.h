#pragma once

#include <cstdint>
#include <string>

namespace Telvar {
namespace Platform {

// Operating-system error numbers as the callers report them (the Win32
// numbering, on every platform, because logs and peers compare them).
constexpr uint32_t ERR_SUCCESS = 0;
constexpr uint32_t ERR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERR_ACCESS_DENIED = 5;
constexpr uint32_t ERR_INVALID_HANDLE = 6;
constexpr uint32_t ERR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERR_GEN_FAILURE = 31;
constexpr uint32_t ERR_NOT_SUPPORTED = 50;
constexpr uint32_t ERR_INVALID_PARAMETER = 87;
constexpr uint32_t ERR_SEM_TIMEOUT = 121;
constexpr uint32_t ERR_INVALID_NAME = 123;
constexpr uint32_t ERR_ALREADY_EXISTS = 183;
constexpr uint32_t ERR_NETWORK_UNREACHABLE = 1231;
constexpr uint32_t ERR_CLASS_ALREADY_EXISTS = 1410;
constexpr uint32_t ERR_INVALID_THREAD_ID = 1444;

// The system's text for an error number, without trailing line breaks.
std::string systemErrorMessage(uint32_t error);

// The C library's words for an errno value ("No space left on device");
// empty for 0.
std::string errnoText(int error);
// The words for the calling thread's last error of a system call (errno
// here; the thread's last error on Windows). Ask right after the call.
std::string lastErrorText();

} // namespace Platform
} // namespace Telvar
