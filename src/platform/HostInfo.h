#pragma once

#include <cstdint>
#include <string>

namespace Telvar {
namespace Platform {

// Processor architecture codes as Windows reports them.
constexpr int32_t ARCH_X86 = 0;
constexpr int32_t ARCH_MIPS = 1;
constexpr int32_t ARCH_ALPHA = 2;
constexpr int32_t ARCH_PPC = 3;
constexpr int32_t ARCH_IA64 = 6;
constexpr int32_t ARCH_AMD64 = 9;
constexpr int32_t ARCH_IA32_ON_WIN64 = 10;
constexpr int32_t ARCH_UNKNOWN = 65535;

// Windows version information; known only on Windows.
struct WindowsVersion {
    bool known = false;
    int32_t major = 0;
    int32_t minor = 0;
    bool workstation = true;
    uint32_t suiteMask = 0;
    bool r2 = false;        // Server 2003 R2
    bool ntFamily = true;
};

// What the host reports about itself, before it is turned into the words
// the data carries. A fact with its has-flag false could not be read.
struct HostFacts {
    int32_t architecture = ARCH_UNKNOWN; // the native one where the host tells it
    WindowsVersion windows;
    bool hasSystemName = false;          // name of a non-Windows system
    std::string systemName;
    bool hasComputerName = false;
    std::string computerName;
    bool hasDnsDomain = false;
    std::string dnsDomain;               // may be empty
    bool hasWorkgroup = false;           // Windows workgroup (LAN group)
    std::string workgroup;
    bool wow64 = false;
    int32_t processorCount = 0;
};

// All facts at once; may ask the resolver, so it can take a moment.
HostFacts readHostFacts();
// The cheap single facts.
bool isWow64Process();
WindowsVersion readWindowsVersion();
int32_t onlineProcessorCount(); // 0 when unknown

} // namespace Platform
} // namespace Telvar
