#include "platform/HostInfo.h"

#include <windows.h>
#include <lm.h>

namespace Telvar {
namespace Platform {

namespace {

std::string narrow(const wchar_t* text)
{
    if (text == nullptr)
        return std::string();
    int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

bool computerName(COMPUTER_NAME_FORMAT format, std::string& name)
{
    // DNS names are at most 255 characters.
    char buffer[512];
    DWORD length = sizeof buffer;
    if (!::GetComputerNameExA(format, buffer, &length))
        return false;
    name.assign(buffer, length);
    return true;
}

} // namespace

bool isWow64Process()
{
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

WindowsVersion readWindowsVersion()
{
    WindowsVersion version;
    // GetVersionEx answers according to the program's manifest; the kernel's
    // own call gives the version that runs.
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    auto rtlGetVersion = ntdll != nullptr ? reinterpret_cast<RtlGetVersionFunction>(
                                                reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                                          : nullptr;
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (rtlGetVersion == nullptr || rtlGetVersion(&info) != 0)
        return version;
    version.known = true;
    version.major = static_cast<int32_t>(info.dwMajorVersion);
    version.minor = static_cast<int32_t>(info.dwMinorVersion);
    version.workstation = info.wProductType == VER_NT_WORKSTATION;
    version.suiteMask = info.wSuiteMask;
    version.r2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
    version.ntFamily = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
    return version;
}

int32_t onlineProcessorCount()
{
    SYSTEM_INFO info;
    ::GetNativeSystemInfo(&info);
    return static_cast<int32_t>(info.dwNumberOfProcessors);
}

HostFacts readHostFacts()
{
    HostFacts facts;
    SYSTEM_INFO info;
    ::GetNativeSystemInfo(&info);
    facts.architecture = info.wProcessorArchitecture;
    facts.processorCount = static_cast<int32_t>(info.dwNumberOfProcessors);
    facts.windows = readWindowsVersion();
    facts.wow64 = isWow64Process();

    facts.hasComputerName = computerName(ComputerNameNetBIOS, facts.computerName);
    // A host outside any domain has an empty DNS domain, which is a fact too.
    facts.hasDnsDomain = computerName(ComputerNameDnsDomain, facts.dnsDomain);

    WKSTA_INFO_100* workstation = nullptr;
    if (::NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&workstation)) == NERR_Success &&
        workstation != nullptr) {
        facts.hasWorkgroup = true;
        facts.workgroup = narrow(workstation->wki100_langroup);
    }
    if (workstation != nullptr)
        ::NetApiBufferFree(workstation);
    return facts;
}

} // namespace Platform
} // namespace Telvar
