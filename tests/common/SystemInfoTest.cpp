#include "common/SystemInfo.h"
#include "platform/linux/UnixIdentity.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace Telvar;

namespace {

std::string writeFile(const std::string& name, const std::string& content)
{
    const std::string path = std::string(TEST_BINARY_DIR) + "/SystemInfoTest_" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

Platform::UnixIdentity identity(const std::string& host, const std::string& fqdn,
                                const std::string& machine = "x86_64")
{
    Platform::UnixIdentity id;
    id.hasKernel = true;
    id.kernelName = "Linux";
    id.kernelRelease = "6.1.0-18-amd64";
    id.machine = machine;
    id.hasHostName = true;
    id.hostName = host;
    id.fullyQualifiedName = fqdn;
    return id;
}

struct Info {
    std::string domain, computer, architecture, os;
    bool fromDns = false;
};

Info infoFrom(const Platform::UnixIdentity& id, const std::vector<std::string>& osRelease,
              Info start = Info())
{
    SystemInfo::staticInfoFrom(Platform::hostFactsFrom(id, osRelease, 2), start.domain,
                               start.computer, start.architecture, start.os, start.fromDns);
    return start;
}

Platform::WindowsVersion windows(int32_t major, int32_t minor, bool workstation)
{
    Platform::WindowsVersion v;
    v.known = true;
    v.major = major;
    v.minor = minor;
    v.workstation = workstation;
    return v;
}

} // namespace

TEST(SystemInfoArchitecture, CodesAndMachineTypes)
{
    EXPECT_EQ("i386", SystemInfo::architectureWord(0));
    EXPECT_EQ("mips", SystemInfo::architectureWord(1));
    EXPECT_EQ("alpha", SystemInfo::architectureWord(2));
    EXPECT_EQ("powerpc", SystemInfo::architectureWord(3));
    EXPECT_EQ("ia64", SystemInfo::architectureWord(6));
    EXPECT_EQ("amd64", SystemInfo::architectureWord(9));
    EXPECT_EQ("ia32_on_win64", SystemInfo::architectureWord(10));
    EXPECT_EQ("unknown", SystemInfo::architectureWord(65535));
    EXPECT_EQ("error", SystemInfo::architectureWord(4));
    EXPECT_EQ("error", SystemInfo::architectureWord(12));

    const std::vector<std::pair<std::string, std::string>> machines = {
        {"x86_64", "amd64"}, {"i386", "i386"},   {"i486", "i386"},     {"i586", "i386"},
        {"i686", "i386"},    {"i786", "unknown"}, {"mips", "mips"},    {"mips64", "mips"},
        {"alpha", "alpha"},  {"ppc", "powerpc"}, {"ppc64", "powerpc"}, {"ia64", "ia64"},
        {"aarch64", "unknown"}, {"", "unknown"},
    };
    for (const auto& m : machines)
        EXPECT_EQ(m.second, SystemInfo::architectureWord(Platform::architectureOfMachine(m.first)))
            << m.first;
}

TEST(SystemInfoWindowsName, VersionTable)
{
    using Platform::ARCH_AMD64;
    using Platform::ARCH_IA64;
    using Platform::ARCH_X86;
    EXPECT_EQ("Windows Server 2008 R2 x64", SystemInfo::windowsName(windows(6, 1, false), ARCH_AMD64));
    EXPECT_EQ("Windows 7 x64", SystemInfo::windowsName(windows(6, 1, true), ARCH_AMD64));
    EXPECT_EQ("Windows 7", SystemInfo::windowsName(windows(6, 1, true), ARCH_X86));
    EXPECT_EQ("Windows Vista ia64", SystemInfo::windowsName(windows(6, 0, true), ARCH_IA64));
    EXPECT_EQ("Windows Server 2008", SystemInfo::windowsName(windows(6, 0, false), ARCH_X86));
    EXPECT_EQ("Windows XP", SystemInfo::windowsName(windows(5, 1, true), ARCH_AMD64));
    EXPECT_EQ("Windows 2000", SystemInfo::windowsName(windows(5, 0, false), ARCH_X86));
    EXPECT_EQ("Windows XP x64", SystemInfo::windowsName(windows(5, 2, true), ARCH_AMD64));
    EXPECT_EQ("Windows Server 2003 x64", SystemInfo::windowsName(windows(5, 2, false), ARCH_AMD64));
    EXPECT_EQ("Windows Server 2003", SystemInfo::windowsName(windows(5, 2, true), ARCH_X86));
    Platform::WindowsVersion r2 = windows(5, 2, false);
    r2.r2 = true;
    EXPECT_EQ("Windows Server 2003 R2 ia64", SystemInfo::windowsName(r2, ARCH_IA64));
    Platform::WindowsVersion storage = windows(5, 2, false);
    storage.suiteMask = 8192;
    EXPECT_EQ("Windows Storage Server 2003", SystemInfo::windowsName(storage, ARCH_X86));
    storage.suiteMask = 8192 | 16;
    EXPECT_EQ("Windows Server 2003", SystemInfo::windowsName(storage, ARCH_X86));
    EXPECT_EQ("Windows NT 351", SystemInfo::windowsName(windows(3, 51, false), ARCH_X86));
    EXPECT_EQ("Windows NT 40", SystemInfo::windowsName(windows(4, 0, true), ARCH_X86));
    EXPECT_EQ("Windows 6 2", SystemInfo::windowsName(windows(6, 2, true), ARCH_AMD64));
}

TEST(SystemInfoOsName, PrettyNameOrKernel)
{
    const std::string quoted = writeFile("quoted", "NAME=\"Debian GNU/Linux\"\n"
                                                   "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                                   "ID=debian\n");
    const std::string single = writeFile("single", "PRETTY_NAME='Alpine Linux v3.19'\n");
    const std::string bare = writeFile("bare", "ID=x\nPRETTY_NAME=Plain\r\n");
    const std::string escaped = writeFile("escaped", "PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$HOME\"\n");
    const std::string colon = writeFile("colon", "PRETTY_NAME=\"Fedora Linux 39 : Server\"\n");
    const std::string none = writeFile("none", "NAME=Something\n");
    const std::string empty = writeFile("empty", "PRETTY_NAME=\"\"\n");
    const std::string missing = std::string(TEST_BINARY_DIR) + "/SystemInfoTest_missing";

    const auto id = identity("box", "box.lab.example");
    EXPECT_EQ("Debian GNU/Linux 12 (bookworm)", infoFrom(id, {quoted}).os);
    EXPECT_EQ("Alpine Linux v3.19", infoFrom(id, {single}).os);
    EXPECT_EQ("Plain", infoFrom(id, {bare}).os);
    EXPECT_EQ("Say \"hi\" \\ $HOME", infoFrom(id, {escaped}).os);
    EXPECT_EQ("Fedora Linux 39 _ Server", infoFrom(id, {colon}).os);
    EXPECT_EQ("Linux 6.1.0-18-amd64", infoFrom(id, {none}).os);
    EXPECT_EQ("Linux 6.1.0-18-amd64", infoFrom(id, {empty}).os);
    EXPECT_EQ("Alpine Linux v3.19", infoFrom(id, {missing, single, quoted}).os);
    // The first readable file decides, even without a name in it.
    EXPECT_EQ("Linux 6.1.0-18-amd64", infoFrom(id, {none, quoted}).os);

    // Neither source: the name is left as it was.
    Platform::UnixIdentity noKernel = id;
    noKernel.hasKernel = false;
    Info before;
    before.os = "previous";
    Info after = infoFrom(noKernel, {missing}, before);
    EXPECT_EQ("previous", after.os);
    EXPECT_EQ("unknown", after.architecture);
}

TEST(SystemInfoNames, ComputerNameAndDomain)
{
    const std::string os = writeFile("names", "PRETTY_NAME=\"Test OS\"\n");
    Info i = infoFrom(identity("build01.lab.example.com", "build01.lab.example.com"), {os});
    EXPECT_EQ("build01", i.computer);
    EXPECT_EQ("lab.example.com", i.domain);
    EXPECT_EQ("amd64", i.architecture);
    EXPECT_EQ("Test OS", i.os);
    EXPECT_TRUE(i.fromDns);

    i = infoFrom(identity("box", "box.corp.example"), {os});
    EXPECT_EQ("box", i.computer);
    EXPECT_EQ("corp.example", i.domain);
    EXPECT_TRUE(i.fromDns);

    for (const char* fqdn : {"box", "", "box."}) {
        i = infoFrom(identity("box", fqdn), {os});
        EXPECT_EQ("box", i.computer) << fqdn;
        EXPECT_EQ("N/A", i.domain) << fqdn;
        EXPECT_FALSE(i.fromDns) << fqdn;
    }
    // A domain equal to the computer name says nothing.
    i = infoFrom(identity("web", "web.web"), {os});
    EXPECT_EQ("N/A", i.domain);

    // Record fields never carry ":".
    i = infoFrom(identity("odd:name", "odd:name.zone:a"), {os});
    EXPECT_EQ("odd_name", i.computer);
    EXPECT_EQ("zone_a", i.domain);

    // No host name: the computer name stays, the domain falls back.
    Platform::UnixIdentity noHost = identity("", "");
    noHost.hasHostName = false;
    Info before;
    before.computer = "kept";
    before.domain = "old.example";
    i = infoFrom(noHost, {os}, before);
    EXPECT_EQ("kept", i.computer);
    EXPECT_EQ("N/A", i.domain);
}

TEST(SystemInfoNames, WindowsFactsAndWorkgroup)
{
    Platform::HostFacts facts;
    facts.architecture = Platform::ARCH_AMD64;
    facts.windows = windows(6, 1, true);
    facts.hasComputerName = true;
    facts.computerName = "PC17";
    facts.hasDnsDomain = true;
    facts.dnsDomain = "";
    facts.hasWorkgroup = true;
    facts.workgroup = "WORKGROUP";
    Info i;
    ASSERT_TRUE(SystemInfo::staticInfoFrom(facts, i.domain, i.computer, i.architecture, i.os, i.fromDns));
    EXPECT_EQ("Windows 7 x64", i.os);
    EXPECT_EQ("WORKGROUP", i.domain);
    EXPECT_FALSE(i.fromDns);
    facts.hasWorkgroup = false;
    ASSERT_TRUE(SystemInfo::staticInfoFrom(facts, i.domain, i.computer, i.architecture, i.os, i.fromDns));
    EXPECT_EQ("N/A", i.domain);

    facts.windows.ntFamily = false;
    EXPECT_FALSE(SystemInfo::staticInfoFrom(facts, i.domain, i.computer, i.architecture, i.os, i.fromDns));
}

TEST(SystemInfoHost, LiveFactsAreUsable)
{
    std::string domain, computer, architecture, os;
    SystemInfo::getStaticInfo(domain, computer, architecture, os);
    for (const std::string* fact : {&domain, &computer, &architecture, &os}) {
        EXPECT_FALSE(fact->empty());
        EXPECT_EQ(std::string::npos, fact->find(':')) << *fact;
    }
    EXPECT_EQ(std::string::npos, computer.find('.'));
    EXPECT_EQ(SystemInfo::domainFromDns(), domain != "N/A");
    const Platform::UnixIdentity id = Platform::readUnixIdentity();
    EXPECT_EQ(SystemInfo::architectureWord(Platform::architectureOfMachine(id.machine)), architecture);
    EXPECT_FALSE(SystemInfo::isWow64());
    EXPECT_EQ(0, SystemInfo::windowsVersion());
    EXPECT_GE(SystemInfo::processorCount(), 1);
}
