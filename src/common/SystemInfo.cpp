#include "common/SystemInfo.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace Telvar {
namespace SystemInfo {

namespace {

std::atomic<bool> g_domainFromDns{false};

// Ends the process when getStaticInfo finds a Windows outside the NT family.
constexpr int NOT_NT_EXIT_CODE = 1005;

std::string fieldSafe(std::string text)
{
    std::replace(text.begin(), text.end(), ':', '_');
    return text;
}

std::string suffixFor(int32_t architecture)
{
    if (architecture == Platform::ARCH_AMD64)
        return " x64";
    if (architecture == Platform::ARCH_IA64)
        return " ia64";
    return "";
}

} // namespace

std::string architectureWord(int32_t code)
{
    switch (code) {
    case Platform::ARCH_X86:
        return "i386";
    case Platform::ARCH_MIPS:
        return "mips";
    case Platform::ARCH_ALPHA:
        return "alpha";
    case Platform::ARCH_PPC:
        return "powerpc";
    case Platform::ARCH_IA64:
        return "ia64";
    case Platform::ARCH_AMD64:
        return "amd64";
    case Platform::ARCH_IA32_ON_WIN64:
        return "ia32_on_win64";
    case Platform::ARCH_UNKNOWN:
        return "unknown";
    default:
        return "error";
    }
}

std::string windowsName(const Platform::WindowsVersion& v, int32_t architecture)
{
    constexpr uint32_t STORAGE_SERVER_SUITE = 8192;
    std::string name = "Windows ";
    if (v.major == 3 || v.major == 4)
        return name + "NT " + std::to_string(v.major) + std::to_string(v.minor);
    if (v.major == 5 && v.minor == 0)
        return name + "2000";
    if (v.major == 5 && v.minor == 1)
        return name + "XP";
    if (v.major == 5 && v.minor == 2) {
        if (v.r2)
            name += "Server 2003 R2";
        else if (v.suiteMask == STORAGE_SERVER_SUITE)
            name += "Storage Server 2003";
        else if (v.workstation && architecture == Platform::ARCH_AMD64)
            name += "XP x64";
        else
            name += "Server 2003";
        if (!v.workstation)
            name += suffixFor(architecture);
        return name;
    }
    if (v.major == 6 && v.minor == 0)
        return name + (v.workstation ? "Vista" : "Server 2008") + suffixFor(architecture);
    if (v.major == 6 && v.minor == 1)
        return name + (v.workstation ? "7" : "Server 2008 R2") + suffixFor(architecture);
    return name + std::to_string(v.major) + " " + std::to_string(v.minor);
}

bool staticInfoFrom(const Platform::HostFacts& facts, std::string& domain,
                    std::string& computerName, std::string& architecture, std::string& osName,
                    bool& fromDns)
{
    architecture = fieldSafe(architectureWord(facts.architecture));

    if (facts.windows.known) {
        if (!facts.windows.ntFamily)
            return false;
        osName = fieldSafe(windowsName(facts.windows, facts.architecture));
    } else if (facts.hasSystemName) {
        osName = fieldSafe(facts.systemName);
    }

    if (facts.hasComputerName)
        computerName = fieldSafe(facts.computerName);

    fromDns = false;
    std::string dns = facts.hasDnsDomain ? fieldSafe(facts.dnsDomain) : std::string();
    if (dns.empty() || dns == computerName) {
        domain = "N/A";
        if (facts.hasWorkgroup)
            domain = fieldSafe(facts.workgroup);
    } else {
        domain = dns;
        fromDns = true;
    }
    return true;
}

void getStaticInfo(std::string& domain, std::string& computerName, std::string& architecture,
                   std::string& osName)
{
    bool fromDns = false;
    if (!staticInfoFrom(Platform::readHostFacts(), domain, computerName, architecture, osName,
                        fromDns))
        std::exit(NOT_NT_EXIT_CODE);
    g_domainFromDns = fromDns;
}

bool domainFromDns()
{
    return g_domainFromDns;
}

bool isWow64()
{
    return Platform::isWow64Process();
}

int32_t windowsVersion()
{
    const Platform::WindowsVersion v = Platform::readWindowsVersion();
    return v.known ? v.major * 10 + v.minor : 0;
}

int32_t processorCount()
{
    return std::max<int32_t>(1, Platform::onlineProcessorCount());
}

} // namespace SystemInfo
} // namespace Telvar
