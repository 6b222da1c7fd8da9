#include "agent/DataRetention.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "support/MemorySink.h"
#include "support/TempDir.h"

using namespace Telvar;
namespace fs = std::filesystem;

namespace {

constexpr int64_t NOW = 1800000000;
constexpr int32_t DAY = 24 * 3600;

class DataRetentionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousLevel_ = debugLevel();
        setDebugLevel(2);
        unit_ = SmartPointer<LoggerUnit>(new LoggerUnit(MemorySink::makeCentre(sink_), MODULE_AGENT));
        retention_.setLoggerUnit(unit_);
    }
    void TearDown() override { setDebugLevel(previousLevel_); }

    // A file last written ageSeconds before NOW.
    void file(const std::string& name, int64_t ageSeconds) const
    {
        ASSERT_TRUE(dir_.write(name, "30:1:x\n1:2\n"));
        const auto written = fs::file_time_type::clock::now() -
                             std::chrono::seconds(std::chrono::system_clock::now().time_since_epoch() /
                                                      std::chrono::seconds(1) - NOW + ageSeconds);
        fs::last_write_time(dir_.file(name), written);
    }
    size_t notices() const
    {
        size_t n = 0;
        for (const std::string& line : sink_->lines())
            n += line.rfind("NOTICE", 0) == 0 ? 1 : 0;
        return n;
    }

    Testing::TempDir dir_{"retention"};
    SmartPointer<MemorySink> sink_;
    SmartPointer<LoggerUnit> unit_;
    DataRetention retention_;
    int previousLevel_ = 0;
};

// Only delivered files past the span go: a file still written, however old,
// is data not yet handed over.
TEST_F(DataRetentionTest, RemovesOnlyDeliveredFilesOlderThanTheSpan)
{
    struct Row {
        const char* name;
        int64_t age;
        bool removed;
    } rows[] = {
        {"RavlonLog-1-1-1.data", 29 * DAY, true},
        {"RavlonLog-2-1-1.data", 28 * DAY + 1, true},
        {"RavlonLog-3-1-1.data", 27 * DAY, false},
        {"RavlonLog-4-1-1.make", 40 * DAY, false},
        {"RavlonLog-5-1-1.make.tmp", 40 * DAY, false},
        {"RavlonLog-6-1-1.data.lock", 40 * DAY, false},
    };
    for (const Row& r : rows)
        file(r.name, r.age);
    ASSERT_TRUE(dir_.makeDirectory("old.data"));
    // Made old where the system lets a directory's time be set (not Windows).
    std::error_code ec;
    fs::last_write_time(dir_.file("old.data"), fs::file_time_type::clock::now() - std::chrono::hours(24 * 60), ec);

    retention_.configure(dir_.path() + "/", TimeSpan(28 * DAY));
    EXPECT_EQ(2u, retention_.sweep(DateTime(NOW)));
    for (const Row& r : rows)
        EXPECT_EQ(!r.removed, dir_.exists(r.name)) << r.name;
    EXPECT_TRUE(dir_.exists("old.data"));
    EXPECT_TRUE(sink_->contains("Removed " + dir_.file("RavlonLog-1-1-1.data")));

    // No span: everything stays, as before the key existed.
    file("RavlonLog-7-1-1.data", 400 * DAY);
    retention_.configure(dir_.path() + "/", TimeSpan(0));
    retention_.tick(DateTime(NOW));
    EXPECT_EQ(0u, retention_.sweep(DateTime(NOW)));
    EXPECT_TRUE(dir_.exists("RavlonLog-7-1-1.data"));
}

// The operator hears of removals at once, then at most once a day with the count.
TEST_F(DataRetentionTest, CountIsANoticeAtMostOnceADay)
{
    retention_.configure(dir_.path() + "/", TimeSpan(DAY));
    file("a.data", 2 * DAY);
    retention_.tick(DateTime(NOW));
    EXPECT_EQ(1u, notices());

    file("b.data", 2 * DAY);
    file("c.data", 2 * DAY);
    retention_.tick(DateTime(NOW + 10));  // within the sweep period: nothing
    EXPECT_TRUE(dir_.exists("b.data"));
    retention_.tick(DateTime(NOW + DataRetention::SWEEP_SECONDS));
    EXPECT_FALSE(dir_.exists("b.data"));
    EXPECT_EQ(1u, notices());

    retention_.tick(DateTime(NOW + DAY));
    ASSERT_EQ(2u, notices());
    EXPECT_NE(std::string::npos, sink_->lines().back().find("(8.21.14)")) << sink_->lines().back();
}

} // namespace
