// A writer of data files killed with SIGKILL at random moments, again and
// again: after leftover recovery every record the writer was told had
// landed is delivered exactly once, and no delivered file ends in a torn
// record. TELVAR_KILL_TEST_KILLS sets the number of kills (default 200).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "agent/DataDelivery.h"
#include "agent/LogFile.h"
#include "common/FileOperations.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "ravlon/LeftoverRecovery.h"
#include "support/ChildMain.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

constexpr uint64_t RANGE = 1000000;  // record numbers of one child

std::string recordText(uint64_t n)
{
    return "30:" + std::to_string(n) + "\n1:" + std::to_string(n);
}

// Child: writes numbered records as fast as it can, delivering every few
// records, and prints the number of each record whose line end succeeded.
int writeRecords(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return 2;
    const std::string base = args[0] + "/kill";
    uint64_t n = std::strtoull(args[1].c_str(), nullptr, 10);
    DataDelivery& delivery = DataDelivery::instance();
    delivery.registerLogFile(base, "kill", TimeSpan(3600), false, nullptr);
    SmartPointer<LogFile> file = delivery.getLogFile("kill");
    if (file.isNull())
        return 3;
    std::mt19937 random(static_cast<uint32_t>(Platform::currentProcessId()));
    for (uint64_t i = 0; i < RANGE - 1; ++i, ++n) {
        if (file->write(recordText(n)) && file->endLine()) {
            std::printf("%llu\n", static_cast<unsigned long long>(n));
            std::fflush(stdout);
        }
        if (random() % 16 == 0)
            delivery.releaseLogFile("kill");
        else if (random() % 64 == 0)
            delivery.deliverAll(true);
    }
    return 0;
}

const Testing::ChildRegistrar writer("write-records", writeRecords);

// Every ".data" file: whole records only; counts of each record number.
// False (with why) at the first file that is not well formed.
bool readDelivered(const std::string& dir, std::map<uint64_t, int>& seen, std::string& why)
{
    seen.clear();
    for (const DirectoryEntry& entry : listDirectory(dir, "*.data")) {
        const std::string path = dir + "/" + entry.name;
        std::string text = Testing::TempDir::readFile(path);
        if (!text.empty() && text.back() != '\n') {
            why = entry.name + " ends inside a line";
            return false;
        }
        size_t at = 0;
        while (at < text.size()) {
            size_t first = text.find('\n', at);
            size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
            if (second == std::string::npos) {
                why = entry.name + " ends inside a record";
                return false;
            }
            std::string classification = text.substr(at, first - at);
            std::string measurement = text.substr(first + 1, second - first - 1);
            if (classification.compare(0, 3, "30:") != 0 || measurement != "1:" + classification.substr(3)) {
                why = entry.name + " holds a broken record at byte " + std::to_string(at) + ": \"" +
                      classification.substr(0, 40) + "\"";
                return false;
            }
            ++seen[std::strtoull(classification.c_str() + 3, nullptr, 10)];
            at = second + 1;
        }
    }
    return true;
}

int killCount()
{
    const char* configured = std::getenv("TELVAR_KILL_TEST_KILLS");
    int kills = configured != nullptr ? std::atoi(configured) : 0;
    return kills > 0 ? kills : 200;
}

TEST(DataFileKillTest, AcknowledgedRecordsSurviveSigkillExactlyOnce)
{
    Testing::TempDir dir("killtest");
    const std::string self = Testing::selfExecutable();
    ASSERT_FALSE(self.empty());
    const int kills = killCount();
    std::mt19937 random(std::random_device{}());
    std::set<uint64_t> acknowledged;
    int killed = 0;
    auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < kills; ++round) {
        Testing::ChildProcess child;
        ASSERT_TRUE(child.start(self, {std::string(Testing::CHILD_OPTION) + "write-records", dir.path(),
                                       std::to_string((round + 1) * RANGE)}));
        std::vector<std::string> lines;
        // Until the child writes, then a random moment later: also in the
        // middle of a delivery.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (lines.empty() && std::chrono::steady_clock::now() < until)
            child.readLines(lines, 10);
        int more = static_cast<int>(random() % 120);
        auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(more);
        while (std::chrono::steady_clock::now() < stopAt)
            child.readLines(lines, 1);
        child.killHard();
        int code = child.wait(lines);
        ASSERT_EQ(128 + 9, code) << "the writer ended on its own";
        ++killed;
        for (const std::string& line : lines)
            acknowledged.insert(std::strtoull(line.c_str(), nullptr, 10));
        LeftoverRecovery::recover(dir.path(), SmartPointer<LoggerUnit>());
        ASSERT_TRUE(listDirectory(dir.path(), "*.make*").empty()) << "recovery left files behind";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::map<uint64_t, int> seen;
    std::string why;
    ASSERT_TRUE(readDelivered(dir.path(), seen, why)) << why;
    size_t missing = 0;
    size_t twice = 0;
    for (uint64_t n : acknowledged) {
        auto it = seen.find(n);
        if (it == seen.end())
            ++missing;
        else if (it->second != 1)
            ++twice;
    }
    for (const auto& s : seen)
        ASSERT_EQ(1, s.second) << "record " << s.first << " delivered " << s.second << " times";
    std::printf("[ kill -9 ] %d kills in %.1f s, %zu acknowledged records checked, %zu records delivered\n", killed,
                seconds, acknowledged.size(), seen.size());
    EXPECT_EQ(kills, killed);
    EXPECT_EQ(0u, missing) << "acknowledged records lost";
    EXPECT_EQ(0u, twice);
    EXPECT_GT(acknowledged.size(), static_cast<size_t>(kills));
}

} // namespace
