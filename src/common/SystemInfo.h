#pragma once

#include "platform/HostInfo.h"

#include <cstdint>
#include <string>

namespace Telvar {

// Static facts about the host that label the measurement data.
namespace SystemInfo {

// Fills the four facts; a fact that cannot be read keeps its value. ":"
// separates record fields, so any ":" in a fact is written as "_".
void getStaticInfo(std::string& domain, std::string& computerName, std::string& architecture,
                   std::string& osName);
// True when the last getStaticInfo took the domain from the DNS domain name.
bool domainFromDns();

// True for a 32-bit process on 64-bit Windows.
bool isWow64();
// major * 10 + minor of the running Windows; 0 elsewhere or when unknown.
int32_t windowsVersion();
// At least 1.
int32_t processorCount();

// The rules behind getStaticInfo, for given host facts. Returns false when
// the host is a Windows outside the NT family (the caller ends the process).
bool staticInfoFrom(const Platform::HostFacts& facts, std::string& domain,
                    std::string& computerName, std::string& architecture, std::string& osName,
                    bool& fromDns);
std::string architectureWord(int32_t code);
std::string windowsName(const Platform::WindowsVersion& version, int32_t architecture);

} // namespace SystemInfo
} // namespace Telvar
