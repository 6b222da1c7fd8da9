// The process-wide performance-data provider and the small helpers of the
// performance-data facility.

#include "platform/PerfData.h"

#include <atomic>

#include <windows.h>

#include "platform/SystemError.h"
#include "platform/win32/PdhPerfData.h"

namespace Telvar {
namespace Platform {

namespace {
std::atomic<PerfDataProvider*> installed{nullptr};
}

PerfDataProvider& systemPerfData()
{
    static PdhPerfData backend;
    return backend;
}

PerfDataProvider& perfData()
{
    PerfDataProvider* p = installed.load();
    return p != nullptr ? *p : systemPerfData();
}

void setPerfDataProvider(PerfDataProvider* provider) { installed.store(provider); }

uint32_t pdhLastError() { return static_cast<uint32_t>(::GetLastError()); }

std::string PerfDataProvider::errorText(uint32_t error)
{
    // PDH's own codes have their texts in pdh.dll, the rest in the system.
    if ((error & 0xFFFF0000u) == 0xC0000000u || (error & 0xFFFF0000u) == 0x80000000u) {
        HMODULE pdh = ::GetModuleHandleA("pdh.dll");
        char* text = nullptr;
        DWORD length = pdh == nullptr ? 0
                                      : ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                                             FORMAT_MESSAGE_IGNORE_INSERTS,
                                                         pdh, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (length != 0 && text != nullptr) {
            std::string message(text, length);
            ::LocalFree(text);
            while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
                message.pop_back();
            return message;
        }
    }
    return systemErrorMessage(error);
}

} // namespace Platform
} // namespace Telvar
