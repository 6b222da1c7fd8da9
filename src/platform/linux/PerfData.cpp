// The process-wide performance-data provider and the small helpers of the
// performance-data facility.

#include "platform/PerfData.h"

#include <atomic>
#include <cerrno>

#include "platform/linux/PerfDataLinux.h"
#include "platform/linux/Win32Errors.h"

namespace Telvar {
namespace Platform {

namespace {
std::atomic<PerfDataProvider*> installed{nullptr};
}

PerfDataProvider& systemPerfData()
{
    static LinuxPerf::LinuxPerfData backend;
    return backend;
}

PerfDataProvider& perfData()
{
    PerfDataProvider* p = installed.load();
    return p != nullptr ? *p : systemPerfData();
}

void setPerfDataProvider(PerfDataProvider* provider) { installed.store(provider); }

uint32_t pdhLastError() { return win32ErrorFromErrno(errno); }

std::string PerfDataProvider::errorText(uint32_t error)
{
    // The texts the name-table path can meet, worded as the system words them.
    switch (error) {
    case PERF_ERROR_SUCCESS: return "The operation completed successfully.";
    case PERF_ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case PERF_ERROR_ACCESS_DENIED: return "Access is denied.";
    case PERF_ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case PERF_ERROR_MORE_DATA: return "More data is available.";
    default: return "Unknown error " + std::to_string(error) + ".";
    }
}

} // namespace Platform
} // namespace Telvar
