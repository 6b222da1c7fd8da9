#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/HostInfo.h"

namespace Telvar {
namespace Platform {

// Unix hosts: the raw identity and how facts are built from it, separate so
// that the rules can be checked with made-up data.
struct UnixIdentity {
    bool hasKernel = false;     // uname answered
    std::string kernelName;     // e.g. "Linux"
    std::string kernelRelease;  // e.g. "6.1.0-18-amd64"
    std::string machine;        // e.g. "x86_64"
    bool hasHostName = false;
    std::string hostName;       // as set, possibly fully qualified
    std::string fullyQualifiedName; // from the resolver; empty when unknown
};

UnixIdentity readUnixIdentity();
int32_t architectureOfMachine(const std::string& machine);
// PRETTY_NAME of the first readable os-release file, empty when none has one.
std::string osReleasePrettyName(const std::vector<std::string>& paths);
HostFacts hostFactsFrom(const UnixIdentity& identity, const std::vector<std::string>& osReleasePaths,
                        int32_t onlineProcessors);

} // namespace Platform
} // namespace Telvar
