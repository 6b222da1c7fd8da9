#include "platform/HostInfo.h"
#include "platform/linux/UnixIdentity.h"

#include <cstring>
#include <fstream>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

namespace {

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// A shell-style value of an os-release line: quotes removed, backslash
// escapes inside double quotes resolved.
std::string unquote(const std::string& raw)
{
    std::string value = raw;
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        return value.substr(1, value.size() - 2);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        std::string out;
        for (size_t i = 1; i + 1 < value.size(); ++i) {
            if (value[i] == '\\' && i + 2 < value.size() &&
                std::strchr("\"\\$`", value[i + 1]) != nullptr)
                ++i;
            out += value[i];
        }
        return out;
    }
    return value;
}

std::string resolverName(const std::string& hostName)
{
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* result = nullptr;
    if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return "";
    std::string name = result->ai_canonname != nullptr ? result->ai_canonname : "";
    ::freeaddrinfo(result);
    return name;
}

} // namespace

int32_t architectureOfMachine(const std::string& machine)
{
    if (machine == "x86_64" || machine == "amd64")
        return ARCH_AMD64;
    if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
        machine.compare(2, 2, "86") == 0)
        return ARCH_X86;
    if (startsWith(machine, "mips"))
        return ARCH_MIPS;
    if (startsWith(machine, "alpha"))
        return ARCH_ALPHA;
    if (startsWith(machine, "ppc"))
        return ARCH_PPC;
    if (machine == "ia64")
        return ARCH_IA64;
    return ARCH_UNKNOWN;
}

std::string osReleasePrettyName(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        std::ifstream in(path);
        if (!in)
            continue;
        std::string line;
        std::string name;
        while (std::getline(in, line)) {
            if (startsWith(line, "PRETTY_NAME="))
                name = unquote(line.substr(std::strlen("PRETTY_NAME=")));
        }
        return name;
    }
    return "";
}

UnixIdentity readUnixIdentity()
{
    UnixIdentity id;
    struct utsname names;
    if (::uname(&names) == 0) {
        id.hasKernel = true;
        id.kernelName = names.sysname;
        id.kernelRelease = names.release;
        id.machine = names.machine;
    }
    char host[256];
    if (::gethostname(host, sizeof host) == 0) {
        host[sizeof host - 1] = '\0';
        id.hasHostName = true;
        id.hostName = host;
        id.fullyQualifiedName =
            id.hostName.find('.') != std::string::npos ? id.hostName : resolverName(id.hostName);
    }
    return id;
}

HostFacts hostFactsFrom(const UnixIdentity& id, const std::vector<std::string>& osReleasePaths,
                        int32_t onlineProcessors)
{
    HostFacts facts;
    facts.architecture = id.hasKernel ? architectureOfMachine(id.machine) : ARCH_UNKNOWN;
    facts.systemName = osReleasePrettyName(osReleasePaths);
    if (facts.systemName.empty() && id.hasKernel)
        facts.systemName = id.kernelName + " " + id.kernelRelease;
    facts.hasSystemName = !facts.systemName.empty();

    if (id.hasHostName && !id.hostName.empty()) {
        facts.hasComputerName = true;
        facts.computerName = id.hostName.substr(0, id.hostName.find('.'));
        const size_t dot = id.fullyQualifiedName.find('.');
        facts.hasDnsDomain = true;
        facts.dnsDomain = dot == std::string::npos ? "" : id.fullyQualifiedName.substr(dot + 1);
    }
    facts.processorCount = onlineProcessors;
    return facts;
}

HostFacts readHostFacts()
{
    return hostFactsFrom(readUnixIdentity(), {"/etc/os-release", "/usr/lib/os-release"},
                         onlineProcessorCount());
}

bool isWow64Process()
{
    return false;
}

WindowsVersion readWindowsVersion()
{
    return WindowsVersion();
}

int32_t onlineProcessorCount()
{
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int32_t>(n) : 0;
}

} // namespace Platform
} // namespace Telvar
