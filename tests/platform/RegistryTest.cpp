#include "platform/Clock.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace Telvar::Platform;
using Telvar::Testing::forkChild;
using Telvar::Testing::killProcessHard;
using Telvar::Testing::waitChild;
namespace fs = std::filesystem;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::string(TEST_BINARY_DIR) + "/RegistryTest_" + std::to_string(currentProcessId()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(root_);
        setEnvironmentVariable("TELVAR_REGISTRY_ROOT", root_);
    }
    void TearDown() override
    {
        unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
        fs::remove_all(root_);
    }

    RegistryKey create(const std::string& path)
    {
        RegistryKey key = nullptr;
        EXPECT_EQ(REGISTRY_SUCCESS,
                  registryCreateKey(RegistryRoot::LocalMachine, path, 0, REGISTRY_KEY_WRITE, key));
        return key;
    }

    static void setText(RegistryKey key, const std::string& name, const std::string& text,
                        uint32_t type = REGISTRY_SZ)
    {
        ASSERT_EQ(REGISTRY_SUCCESS,
                  registrySetValue(key, name, type, reinterpret_cast<const uint8_t*>(text.data()),
                                   static_cast<uint32_t>(text.size())));
    }

    // The value's bytes, or "<error N>".
    static std::string query(RegistryKey key, const std::string& name, uint32_t* typeOut = nullptr)
    {
        uint32_t type = 0;
        uint32_t size = 0;
        uint32_t r = registryQueryValue(key, name, type, nullptr, size);
        if (r != REGISTRY_SUCCESS)
            return "<error " + std::to_string(r) + ">";
        std::vector<uint8_t> data(size + 1);
        r = registryQueryValue(key, name, type, data.data(), size);
        if (r != REGISTRY_SUCCESS)
            return "<error " + std::to_string(r) + ">";
        if (typeOut != nullptr)
            *typeOut = type;
        return std::string(reinterpret_cast<const char*>(data.data()), size);
    }

    std::string keyDir(const std::string& relative) const
    {
        return root_ + "/HKEY_LOCAL_MACHINE/" + relative;
    }

    std::string root_;
};

} // namespace

TEST_F(RegistryTest, KeysAreOpenedCreatedAndClosed)
{
    RegistryKey key = nullptr;
    EXPECT_EQ(REGISTRY_FILE_NOT_FOUND,
              registryOpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\Telvar", REGISTRY_KEY_READ, key));
    EXPECT_EQ(nullptr, key);
    key = create("SOFTWARE\\Telvar\\Resources");
    ASSERT_NE(nullptr, key);
    registryCloseKey(key);
    EXPECT_TRUE(fs::is_directory(keyDir("SOFTWARE/Telvar/Resources")));

    // Names of keys compare without case, the first spelling stays.
    key = nullptr;
    ASSERT_EQ(REGISTRY_SUCCESS, registryOpenKey(RegistryRoot::LocalMachine, "software\\TELVAR\\resources\\",
                                                REGISTRY_KEY_READ, key));
    registryCloseKey(key);
    key = create("Software\\telvar\\Resources\\Sub");
    registryCloseKey(key);
    EXPECT_TRUE(fs::is_directory(keyDir("SOFTWARE/Telvar/Resources/Sub")));

    // Paths that would leave the key tree are refused.
    for (const char* bad : {"SOFTWARE\\..\\..\\x", "a\\\\b", "a/b", "."}) {
        key = nullptr;
        EXPECT_EQ(REGISTRY_FILE_NOT_FOUND,
                  registryCreateKey(RegistryRoot::LocalMachine, bad, 0, REGISTRY_KEY_WRITE, key))
            << bad;
    }
    EXPECT_FALSE(fs::exists(root_ + "/x"));

    // Other roots are separate trees.
    key = nullptr;
    EXPECT_EQ(REGISTRY_FILE_NOT_FOUND,
              registryOpenKey(RegistryRoot::CurrentUser, "SOFTWARE", REGISTRY_KEY_READ, key));
}

TEST_F(RegistryTest, QuerySizesTypesAndAccess)
{
    RegistryKey key = create("K");
    setText(key, "Dir", std::string("C:\\Program Files\\Telvar\0", 25), REGISTRY_EXPAND_SZ);

    uint32_t type = 0;
    uint32_t size = 0;
    ASSERT_EQ(REGISTRY_SUCCESS, registryQueryValue(key, "Dir", type, nullptr, size));
    EXPECT_EQ(25u, size);
    EXPECT_EQ(REGISTRY_EXPAND_SZ, type);
    uint8_t small[10];
    size = sizeof small;
    EXPECT_EQ(REGISTRY_MORE_DATA, registryQueryValue(key, "Dir", type, small, size));
    EXPECT_EQ(25u, size);
    EXPECT_EQ(std::string("C:\\Program Files\\Telvar\0", 25), query(key, "dir"));
    EXPECT_EQ("<error 2>", query(key, "Missing"));

    const uint8_t dword[4] = {0x2a, 0x01, 0x00, 0x80};
    ASSERT_EQ(REGISTRY_SUCCESS, registrySetValue(key, "Level", REGISTRY_DWORD, dword, 4));
    EXPECT_EQ(std::string("\x2a\x01\x00\x80", 4), query(key, "Level", &type));
    EXPECT_EQ(REGISTRY_DWORD, type);
    EXPECT_EQ(REGISTRY_INVALID_PARAMETER, registrySetValue(key, "Level", REGISTRY_DWORD, dword, 3));
    registryCloseKey(key);

    RegistryKey readOnly = nullptr;
    ASSERT_EQ(REGISTRY_SUCCESS, registryOpenKey(RegistryRoot::LocalMachine, "K", REGISTRY_KEY_READ, readOnly));
    EXPECT_EQ(REGISTRY_ACCESS_DENIED, registrySetValue(readOnly, "Dir", REGISTRY_SZ, dword, 1));
    registryCloseKey(readOnly);
}

TEST_F(RegistryTest, ValueFilesAreReadableText)
{
    RegistryKey key = create("SOFTWARE\\Telvar\\Resources");
    setText(key, "InstallDir", "/opt/telvar");
    setText(key, "Lines", "one\ntwo\n");
    const uint8_t three[4] = {3, 0, 0, 0};
    ASSERT_EQ(REGISTRY_SUCCESS, registrySetValue(key, "StartupDebugLevel", REGISTRY_DWORD, three, 4));
    setText(key, "a/b%c", "odd");
    setText(key, "", "default");

    const std::string dir = keyDir("SOFTWARE/Telvar/Resources/");
    EXPECT_EQ("REG_SZ\n/opt/telvar\n", Telvar::Testing::TempDir::readFile(dir + "InstallDir.value"));
    EXPECT_EQ("REG_SZ\none\ntwo\n\n", Telvar::Testing::TempDir::readFile(dir + "Lines.value"));
    EXPECT_EQ("REG_DWORD\n3\n", Telvar::Testing::TempDir::readFile(dir + "StartupDebugLevel.value"));
    EXPECT_EQ("REG_SZ\nodd\n", Telvar::Testing::TempDir::readFile(dir + "a%2Fb%25c.value"));
    EXPECT_EQ("one\ntwo\n", query(key, "Lines"));
    EXPECT_EQ("default", query(key, ""));

    // Files written by hand: no final line break, hexadecimal numbers.
    std::ofstream(dir + "Hand.value") << "REG_SZ\nby hand";
    std::ofstream(dir + "Mask.value") << "REG_DWORD\n0x10\n";
    std::ofstream(dir + "Broken.value") << "REG_DWORD\nlots\n";
    std::ofstream(dir + "NoType.value") << "just text";
    EXPECT_EQ("by hand", query(key, "hand"));
    EXPECT_EQ(std::string("\x10\0\0\0", 4), query(key, "Mask"));
    EXPECT_EQ("<error 13>", query(key, "Broken"));
    EXPECT_EQ("<error 13>", query(key, "NoType"));

    std::vector<std::string> names;
    ASSERT_EQ(REGISTRY_SUCCESS, registryValueNames(key, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"", "Broken", "Hand", "InstallDir", "Lines", "Mask", "NoType",
                                        "StartupDebugLevel", "a/b%c"}),
              names);

    // A value written under another case replaces the existing one.
    setText(key, "installdir", "/srv/telvar");
    EXPECT_EQ("REG_SZ\n/srv/telvar\n", Telvar::Testing::TempDir::readFile(dir + "InstallDir.value"));
    EXPECT_FALSE(fs::exists(dir + "installdir.value"));
    registryCloseKey(key);
}

TEST_F(RegistryTest, KilledWriterLeavesTheOldOrTheNewValue)
{
    RegistryKey key = create("SOFTWARE\\Telvar\\Resources");
    const size_t length = 256u << 10;
    setText(key, "Big", std::string(length, 'A'));
    registryCloseKey(key);
    const std::string dir = keyDir("SOFTWARE/Telvar/Resources");

    int interrupted = 0;
    for (int round = 0; round < 20 && interrupted < 2; ++round) {
        const ProcessId child = forkChild([length] {
            RegistryKey k = nullptr;
            if (registryOpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\Telvar\\Resources",
                                REGISTRY_KEY_WRITE, k) != REGISTRY_SUCCESS)
                return 1;
            for (char c = 'B';; c = c == 'Z' ? 'A' : static_cast<char>(c + 1)) {
                const std::string text(length, c);
                registrySetValue(k, "Big", REGISTRY_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                                 static_cast<uint32_t>(text.size()));
            }
        });
        ASSERT_GT(child, 0);
        sleepMilliseconds(10 + 3 * round);
        ASSERT_TRUE(killProcessHard(child));
        EXPECT_EQ(128 + 9, waitChild(child, 5000));

        bool leftover = false;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().find(".tmp.") != std::string::npos) {
                leftover = true;
                fs::remove(entry.path());
            }
        }
        interrupted += leftover ? 1 : 0;

        RegistryKey reader = nullptr;
        ASSERT_EQ(REGISTRY_SUCCESS, registryOpenKey(RegistryRoot::LocalMachine,
                                                    "SOFTWARE\\Telvar\\Resources", REGISTRY_KEY_READ, reader));
        const std::string value = query(reader, "Big");
        registryCloseKey(reader);
        ASSERT_EQ(length, value.size()) << "round " << round;
        EXPECT_EQ(std::string(length, value[0]), value) << "round " << round;
    }
    // The kills must have hit writes in progress for the check to mean anything.
    EXPECT_GT(interrupted, 0);
}

TEST_F(RegistryTest, TwoWritersOfOneKeyLoseNeitherValue)
{
    registryCloseKey(create("Shared"));
    auto writer = [](const std::string& name) {
        return [name] {
            RegistryKey k = nullptr;
            if (registryOpenKey(RegistryRoot::LocalMachine, "Shared", REGISTRY_KEY_WRITE, k) != REGISTRY_SUCCESS)
                return 1;
            for (int i = 1; i <= 100; ++i) {
                const std::string text = name + "-" + std::to_string(i);
                if (registrySetValue(k, name, REGISTRY_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                                     static_cast<uint32_t>(text.size())) != REGISTRY_SUCCESS)
                    return 2;
            }
            registryCloseKey(k);
            return 0;
        };
    };
    const ProcessId first = forkChild(writer("LogCounter"));
    const ProcessId second = forkChild(writer("LogOpened"));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(0, waitChild(first, 60000));
    EXPECT_EQ(0, waitChild(second, 60000));

    RegistryKey key = nullptr;
    ASSERT_EQ(REGISTRY_SUCCESS, registryOpenKey(RegistryRoot::LocalMachine, "Shared", REGISTRY_KEY_READ, key));
    EXPECT_EQ("LogCounter-100", query(key, "LogCounter"));
    EXPECT_EQ("LogOpened-100", query(key, "LogOpened"));
    std::vector<std::string> names;
    ASSERT_EQ(REGISTRY_SUCCESS, registryValueNames(key, names));
    EXPECT_EQ(2u, names.size());
    registryCloseKey(key);
}
