#include "common/Resources.h"
#include "platform/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace Telvar;
namespace fs = std::filesystem;

namespace {

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::string(TEST_BINARY_DIR) + "/ResourcesTest_" +
                std::to_string(Platform::currentProcessId()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(root_);
        Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", root_);
        Platform::unsetEnvironmentVariable("TELVAR_ENV");
    }
    void TearDown() override
    {
        Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
        Platform::unsetEnvironmentVariable("TELVAR_ENV");
        fs::remove_all(root_);
    }

    static void writeTyped(const std::string& name, uint32_t type, const std::string& bytes)
    {
        ASSERT_EQ(RESOURCE_OK, writeRegistryText(resourceKeyPath(), name, type, bytes.data(),
                                                 static_cast<uint32_t>(bytes.size()), false));
    }

    static std::string resource(const std::string& name)
    {
        std::string text = "<unchanged>";
        const int32_t r = getResource(name, text);
        return r == RESOURCE_OK ? text : "<" + std::to_string(r) + "> " + text;
    }

    struct Run {
        int code;
        std::string out;
        std::string err;
    };

    Run ctl(const std::string& arguments) const
    {
        const std::string out = root_ + ".out";
        const std::string err = root_ + ".err";
        const std::string rc = root_ + ".rc";
        const std::string command = "TELVAR_REGISTRY_ROOT='" + root_ + "' '" + RAVLONCTL_PATH + "' " +
                                    arguments + " >'" + out + "' 2>'" + err + "'; echo $? >'" + rc + "'";
        EXPECT_EQ(0, std::system(command.c_str()));
        Run run{std::stoi(Testing::TempDir::readFile(rc)), Testing::TempDir::readFile(out), Testing::TempDir::readFile(err)};
        fs::remove(out);
        fs::remove(err);
        fs::remove(rc);
        return run;
    }

    std::string root_;
};

} // namespace

TEST_F(ResourcesTest, KeyPathFollowsTelvarEnv)
{
    EXPECT_EQ("SOFTWARE\\Telvar\\Resources", resourceKeyPath());
    ASSERT_EQ(RESOURCE_OK, setResource("InstallDir", "/opt/telvar"));
    EXPECT_TRUE(fs::exists(root_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Telvar/Resources/InstallDir.value"));

    Platform::setEnvironmentVariable("TELVAR_ENV", "SOFTWARE\\Telvar\\Test");
    EXPECT_EQ("SOFTWARE\\Telvar\\Test", resourceKeyPath());
    EXPECT_EQ("<2> <unchanged>", resource("InstallDir"));
    ASSERT_EQ(RESOURCE_OK, setResource("InstallDir", "/srv/test"));
    writeTyped("Level", Platform::REGISTRY_DWORD, std::string("\x05\0\0\0", 4));
    EXPECT_EQ("/srv/test", resource("InstallDir"));
    uint32_t level = 0;
    EXPECT_EQ(RESOURCE_OK, getResourceNumber("Level", level));
    EXPECT_EQ(5u, level);
    std::vector<std::string> names;
    ASSERT_EQ(RESOURCE_OK, listResources(names));
    EXPECT_EQ((std::vector<std::string>{"InstallDir", "Level"}), names);

    Platform::unsetEnvironmentVariable("TELVAR_ENV");
    EXPECT_EQ("/opt/telvar", resource("InstallDir"));
    EXPECT_EQ(RESOURCE_NOT_READ, getResourceNumber("Level", level));
    EXPECT_EQ(5u, level);
}

TEST_F(ResourcesTest, TextValuesAndTheirTypes)
{
    const std::string long300(300, 'x');
    ASSERT_EQ(RESOURCE_OK, setResource("Long", long300));
    EXPECT_EQ(long300, resource("Long"));

    writeTyped("Zeros", Platform::REGISTRY_SZ, std::string("C:\\Telvar\0\0", 11));
    EXPECT_EQ("C:\\Telvar", resource("Zeros"));
    writeTyped("Multi", Platform::REGISTRY_MULTI_SZ, std::string("one\0two\0\0", 9));
    EXPECT_EQ(std::string("one\0two", 7), resource("Multi"));
    writeTyped("Expand", Platform::REGISTRY_EXPAND_SZ, "%SystemRoot%\\x");
    EXPECT_EQ("%SystemRoot%\\x", resource("Expand"));
    writeTyped("Empty", Platform::REGISTRY_SZ, "");
    EXPECT_EQ("", resource("Empty"));

    writeTyped("Level", Platform::REGISTRY_DWORD, std::string("\x03\x01\0\0", 4));
    EXPECT_EQ("<3> <unchanged>", resource("Level"));
    EXPECT_EQ("<2> <unchanged>", resource("Missing"));
    writeTyped("Blob", Platform::REGISTRY_BINARY, "abc");
    EXPECT_EQ("<3> <unchanged>", resource("Blob"));

    uint32_t number = 7;
    EXPECT_EQ(RESOURCE_OK, getResourceNumber("Level", number));
    EXPECT_EQ(259u, number);
    number = 7;
    EXPECT_EQ(RESOURCE_WRONG_TYPE, getResourceNumber("Zeros", number));
    // Numbers are read into a fixed buffer: a long text cannot even be read.
    EXPECT_EQ(RESOURCE_NOT_READ, getResourceNumber("Long", number));
    EXPECT_EQ(RESOURCE_NOT_READ, getResourceNumber("Missing", number));
    EXPECT_EQ(7u, number);

    // The explicit layer with its own key path.
    std::string text;
    EXPECT_EQ(RESOURCE_OK, readRegistryText("SOFTWARE\\Telvar\\Resources", "Long", text, true));
    EXPECT_EQ(long300, text);
    EXPECT_EQ(RESOURCE_NOT_READ, readRegistryText("SOFTWARE\\Nothing", "Long", text, false));
    EXPECT_EQ(RESOURCE_NOT_READ, readRegistryNumber("SOFTWARE\\Nothing", "Level", number, false));
}

TEST_F(ResourcesTest, ReferencesToOtherResources)
{
    ASSERT_EQ(RESOURCE_OK, setResource("InstallDir", "/opt/telvar"));
    ASSERT_EQ(RESOURCE_OK, setResource("A", "a"));
    ASSERT_EQ(RESOURCE_OK, setResource("LongName", "a-rather-long-value"));
    ASSERT_EQ(RESOURCE_OK, setResource("Conf", "${InstallDir}/etc"));
    ASSERT_EQ(RESOURCE_OK, setResource("Nested", "${Conf}/ravlon.conf"));
    ASSERT_EQ(RESOURCE_OK, setResource("Missing", "${Nowhere}/etc"));
    ASSERT_EQ(RESOURCE_OK, setResource("Open", "${InstallDir/etc"));
    ASSERT_EQ(RESOURCE_OK, setResource("Adjacent", "${A}${A}${LongName}${A}"));
    ASSERT_EQ(RESOURCE_OK, setResource("Mixed", "${Nowhere}-${A}-${}-x"));
    ASSERT_EQ(RESOURCE_OK, setResource("Short", "${A}"));
    ASSERT_EQ(RESOURCE_OK, setResource("Self", "<${Self}>"));
    ASSERT_EQ(RESOURCE_OK, setResource("Ping", "${Pong}"));
    ASSERT_EQ(RESOURCE_OK, setResource("Pong", "${Ping}"));

    EXPECT_EQ("/opt/telvar/etc", resource("Conf"));
    EXPECT_EQ("/opt/telvar/etc/ravlon.conf", resource("Nested"));
    EXPECT_EQ("${Nowhere}/etc", resource("Missing"));
    EXPECT_EQ("${InstallDir/etc", resource("Open"));
    EXPECT_EQ("aaa-rather-long-valuea", resource("Adjacent"));
    EXPECT_EQ("${Nowhere}-a-${}-x", resource("Mixed"));
    EXPECT_EQ("a", resource("Short"));
    // Cycles end instead of recursing for ever; the innermost reference stays.
    const std::string self = resource("Self");
    EXPECT_EQ(std::string::npos, self.find("<2>"));
    EXPECT_EQ("<<<<<<<<<<<<<<<<<${Self}>>>>>>>>>>>>>>>>>", self);
    EXPECT_EQ("${Pong}", resource("Ping"));

    // Through the explicit layer, references are still resolved in the resource key.
    ASSERT_EQ(RESOURCE_OK, writeRegistryText("SOFTWARE\\Other", "Where", Platform::REGISTRY_SZ,
                                             "${InstallDir}/x", 15, false));
    std::string text;
    EXPECT_EQ(RESOURCE_OK, readRegistryText("SOFTWARE\\Other", "Where", text, false));
    EXPECT_EQ("/opt/telvar/x", text);
}

TEST_F(ResourcesTest, SelfReferencesThatMultiplyStayBounded)
{
    auto references = [](const std::string& text, const std::string& ref) {
        size_t n = 0;
        for (size_t at = text.find(ref); at != std::string::npos; at = text.find(ref, at + 1))
            ++n;
        return n;
    };
    // Each reference read may add one more "${A}"; depth alone would allow 2^17.
    ASSERT_EQ(RESOURCE_OK, setResource("A", "${A}${A}"));
    std::string text = resource("A");
    ASSERT_LE(references(text, "${A}"), 2u * 256 + 2) << text.size();
    EXPECT_EQ(text.size(), 4 * references(text, "${A}"));

    // Three-fold used to run for hours.
    ASSERT_EQ(RESOURCE_OK, setResource("B", "<${B}${B}${B}>"));
    text = resource("B");
    EXPECT_LE(references(text, "${B}"), 3u * 256 + 3);
    EXPECT_EQ(0u, text.find("<<"));

    // Ordinary values with many references are still expanded completely.
    ASSERT_EQ(RESOURCE_OK, setResource("X", "x"));
    std::string many, expected;
    for (int i = 0; i < 100; ++i) {
        many += "${X}/";
        expected += "x/";
    }
    ASSERT_EQ(RESOURCE_OK, setResource("Many", many));
    EXPECT_EQ(expected, resource("Many"));
}

TEST_F(ResourcesTest, WritingCreatesTheKeyOrFails)
{
    EXPECT_FALSE(fs::exists(root_));
    ASSERT_EQ(RESOURCE_OK, setResource("JOB_Ravlon", "pid=12;tid=13"));
    EXPECT_EQ("pid=12;tid=13", resource("JOB_Ravlon"));
    ASSERT_EQ(RESOURCE_OK, setResource("JOB_Ravlon", "pid=14;tid=15"));
    EXPECT_EQ("pid=14;tid=15", resource("JOB_Ravlon"));

    // A store root that is a file cannot hold keys.
    fs::remove_all(root_);
    std::ofstream(root_) << "not a directory";
    EXPECT_EQ(RESOURCE_WRITE_FAILED, setResource("JOB_Ravlon", "pid=1;tid=1"));
    EXPECT_EQ("<2> <unchanged>", resource("JOB_Ravlon"));
    fs::remove(root_);
}

TEST_F(ResourcesTest, RootKeyNames)
{
    Platform::RegistryRoot root = Platform::RegistryRoot::Users;
    EXPECT_TRUE(rootKeyByName("HKEY_LOCAL_MACHINE", root));
    EXPECT_EQ(Platform::RegistryRoot::LocalMachine, root);
    EXPECT_TRUE(rootKeyByName("HKEY_CLASSES_ROOT", root));
    EXPECT_EQ(Platform::RegistryRoot::ClassesRoot, root);
    EXPECT_TRUE(rootKeyByName("HKEY_CURRENT_CONFIG", root));
    EXPECT_EQ(Platform::RegistryRoot::CurrentConfig, root);
    EXPECT_TRUE(rootKeyByName("HKEY_CURRENT_USER", root));
    EXPECT_EQ(Platform::RegistryRoot::CurrentUser, root);
    EXPECT_TRUE(rootKeyByName("HKEY_USERS", root));
    EXPECT_EQ(Platform::RegistryRoot::Users, root);
    EXPECT_FALSE(rootKeyByName("HKEY_PERFORMANCE_DATA", root));
    EXPECT_FALSE(rootKeyByName("hkey_local_machine", root));
    EXPECT_EQ(Platform::RegistryRoot::Users, root);
}

TEST_F(ResourcesTest, CtlListsGetsAndSets)
{
    Run r = ctl("resource list");
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("ravlonctl resource: cannot open HKEY_LOCAL_MACHINE\\SOFTWARE\\Telvar\\Resources\n", r.err);

    r = ctl("resource set InstallDir /opt/telvar");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("", r.out + r.err);
    EXPECT_EQ(0, ctl("resource set ConfigurationDir '${InstallDir}/etc'").code);
    EXPECT_EQ(0, ctl("resource set --number StartupDebugLevel 3").code);

    r = ctl("resource list");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("ConfigurationDir=/opt/telvar/etc\nInstallDir=/opt/telvar\nStartupDebugLevel=3\n", r.out);
    r = ctl("resource get ConfigurationDir");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("/opt/telvar/etc\n", r.out);
    r = ctl("resource get StartupDebugLevel");
    EXPECT_EQ("3\n", r.out);
    uint32_t level = 0;
    EXPECT_EQ(RESOURCE_OK, getResourceNumber("StartupDebugLevel", level));
    EXPECT_EQ(3u, level);

    r = ctl("resource get Nowhere");
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("ravlonctl resource: Nowhere: not found in HKEY_LOCAL_MACHINE\\SOFTWARE\\Telvar\\Resources\n", r.err);

    const std::string usage = "usage: ravlonctl resource list | get NAME | set [--number] NAME VALUE\n";
    r = ctl("resource");
    EXPECT_EQ(2, r.code);
    EXPECT_EQ("ravlonctl resource: missing action\n" + usage, r.err);
    r = ctl("resource set OnlyName");
    EXPECT_EQ(2, r.code);
    EXPECT_EQ("ravlonctl resource: set needs NAME and VALUE\n" + usage, r.err);
    r = ctl("resource set --number Level 4294967296");
    EXPECT_EQ(2, r.code);
    EXPECT_EQ("ravlonctl resource: not a number from 0 to 4294967295: 4294967296\n" + usage, r.err);
    EXPECT_EQ(2, ctl("resource remove X").code);
    EXPECT_EQ(2, ctl("resource list extra").code);

    r = ctl("resource --help");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(0u, r.out.find(usage));
}

// References to one large value may not multiply it without end.
TEST_F(ResourcesTest, ExpandedTextBeyondTheBoundIsRefused)
{
    const std::string big(200 * 1024, 'v');
    ASSERT_EQ(RESOURCE_OK, setResource("Big", big));
    std::string ten;
    for (int i = 0; i < 10; ++i)
        ten += "${Big}";
    ASSERT_EQ(RESOURCE_OK, setResource("Ten", ten));
    ASSERT_EQ(RESOURCE_OK, setResource("Five", "${Big}${Big}${Big}${Big}${Big}"));
    std::string text;
    EXPECT_EQ(RESOURCE_TOO_LONG, getResource("Ten", text));
    EXPECT_EQ(RESOURCE_OK, getResource("Five", text));
    EXPECT_EQ(5 * big.size(), text.size());
}
