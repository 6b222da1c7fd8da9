// A really full disk (a small tmpfs; needs root): data files, the log sink
// and the resource store report the failure, keep their old content whole
// and carry on once there is room again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "agent/LogFile.h"
#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "logger/LoggerAgentFile.h"
#include "logger/LogSettings.h"
#include "platform/Process.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

#include <unistd.h>

using namespace Telvar;
namespace fs = std::filesystem;

namespace {

// A 64 KiB tmpfs, unmounted again with the object.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& path) : path_(path)
    {
        fs::create_directories(path_);
        mounted_ = std::system(("mount -t tmpfs -o size=64k tmpfs '" + path_ + "' 2>/dev/null").c_str()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            std::system(("umount '" + path_ + "'").c_str());
    }
    bool mounted() const { return mounted_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Fills the disk with a file of that name; what is left is a few bytes.
    void fill(const std::string& name) const
    {
        std::string block(4096, 'f');
        std::string content;
        while (Testing::TempDir::writeFile(file(name), content + block))
            content += block;
        for (size_t piece = 2048; piece >= 16; piece /= 2)
            if (Testing::TempDir::writeFile(file(name), content + std::string(piece, 'f')))
                content += std::string(piece, 'f');
        Testing::TempDir::writeFile(file(name), content);
    }
    void free(const std::string& name) const { fs::remove(file(name)); }

private:
    std::string path_;
    bool mounted_ = false;
};

class DiskFullTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to mount a small tmpfs";
        disk_.reset(new SmallDisk(dir_.file("disk")));
        if (!disk_->mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here";
        time_.readWith([] { return Clock::system().nowSeconds(); });
        time_.sleepWith([](int) {});
    }
    void TearDown() override { disk_.reset(); }

    Testing::ManualClock time_;
    Testing::TempDir dir_{"diskfull"};
    std::unique_ptr<SmallDisk> disk_;
};

TEST_F(DiskFullTest, DataFileKeepsWholeRecordsAndResumes)
{
    LogFile file;
    file.setName(disk_->file("cpu"));
    const std::string name = file.getName();
    disk_->fill("filler");
    int written = 0;
    int refused = 0;
    for (int i = 0; i < 2000 && refused < 3; ++i) {
        std::string record = "30:" + std::to_string(i) + "\n1:" + std::string(100, 'v');
        if (file.write(record) && file.endLine())
            ++written;
        else
            ++refused;
    }
    EXPECT_GT(refused, 0);
    disk_->free("filler");
    ASSERT_TRUE(file.write("30:last\n1:last"));
    ASSERT_TRUE(file.endLine());
    file.end();
    std::string delivered = Testing::TempDir::readFile(LogFile::deliveredName(name));
    size_t records = 0;
    for (size_t at = 0; (at = delivered.find("30:", at)) != std::string::npos; ++at)
        ++records;
    EXPECT_EQ(static_cast<size_t>(written) + 1, records);
    EXPECT_EQ(std::string("30:last\n1:last\n"), delivered.substr(delivered.size() - 15));
    // Every line a whole one: classification and measurement alternate.
    size_t lines = 0;
    for (char c : delivered)
        lines += c == '\n' ? 1 : 0;
    EXPECT_EQ(2 * records, lines);
}

TEST_F(DiskFullTest, LogSinkReportsKeepsWholeLinesAndResumes)
{
    Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", dir_.file("registry"));
    setRotationScheme(ROTATE_NONE);
    {
        LoggerAgentFile sink;
        ASSERT_TRUE(sink.setLogFile(disk_->file("x.log")));
        ASSERT_TRUE(sink.write("before"));
        disk_->fill("filler");
        bool reported = false;
        for (int i = 0; i < 50 && !reported; ++i) {
            try {
                sink.write("line " + std::to_string(i) + " " + std::string(200, 'l'));
            } catch (const FileException&) {
                reported = true;
            }
        }
        EXPECT_TRUE(reported);
        disk_->free("filler");
        EXPECT_TRUE(sink.write("after"));
        const std::string text = Testing::TempDir::readFile(disk_->file("x.log"));
        ASSERT_GE(text.size(), 7u);
        EXPECT_EQ("after\r\n", text.substr(text.size() - 7));
        // No line glued to a torn one.
        size_t at = 0;
        for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
            std::string line = text.substr(at, end - at);
            const std::string tail(200, 'l');
            bool whole = line.compare(0, 5, "line ") != 0 ||
                         (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
                          line.find("after") == std::string::npos);
            EXPECT_TRUE(whole) << line.substr(0, 60);
        }
    }
    Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
}

TEST_F(DiskFullTest, ResourceStoreKeepsTheOldValueAndResumes)
{
    Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", disk_->file("registry"));
    ASSERT_EQ(RESOURCE_OK, setResource("Kept", "old value"));
    disk_->fill("filler");
    EXPECT_NE(RESOURCE_OK, setResource("Kept", std::string(16384, 'n')));
    std::string text;
    EXPECT_EQ(RESOURCE_OK, getResource("Kept", text));
    EXPECT_EQ("old value", text);
    disk_->free("filler");
    EXPECT_EQ(RESOURCE_OK, setResource("Kept", std::string(16384, 'n')));
    EXPECT_EQ(RESOURCE_OK, getResource("Kept", text));
    EXPECT_EQ(16384u, text.size());
    Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
}

} // namespace
