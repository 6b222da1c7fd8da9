#include "ravlon/LeftoverRecovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/LogFile.h"
#include "common/DateTime.h"
#include "common/FileOperations.h"
#include "common/LockFile.h"
#include "common/TimeSpan.h"
#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "platform/Thread.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/TempDir.h"

#include <unistd.h>

using namespace Telvar;

namespace {

constexpr int64_t NOW = 1299215167;

std::string pid() { return std::to_string(Platform::currentProcessId()); }

// One record as the writers make it: classification line, measurement line.
std::string record(int n)
{
    return "30:" + std::to_string(NOW + 30 * n) +
           ":??:0:host:0:x86_64:0:example.org:0:Linux:0:prime: : : : : : : : : : \n1:" +
           std::to_string(n) + ".5: :4096\n";
}

std::string records(int from, int count)
{
    std::string text;
    for (int i = from; i < from + count; ++i)
        text += record(i);
    return text;
}

class LeftoverRecoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock_.sleepWith([](int) {});
        setDebugLevel(5);
        unit_ = SmartPointer<LoggerUnit>(new LoggerUnit(MemorySink::makeCentre(sink_), MODULE_RAVLON));
    }
    int32_t recover() { return LeftoverRecovery::recover(dir_.path(), unit_); }

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const DirectoryEntry& e : listDirectory(dir_.path(), "*"))
            if (e.name != "." && e.name != "..")
                names.push_back(e.name);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string recovered(const std::string& base, const std::string& suffix = "") const
    {
        return base + "-" + std::to_string(NOW) + "-" + pid() + suffix + ".data";
    }

    bool logged(const std::string& text) const { return sink_->contains(": " + text); }

    Testing::ManualClock clock_{NOW};
    Testing::TempDir dir_{"leftover"};
    SmartPointer<MemorySink> sink_;
    SmartPointer<LoggerUnit> unit_;
};

// What a crash left, case by case: what is delivered (cut back to whole
// records), moved aside, deleted or left alone, and what the log says.
TEST_F(LeftoverRecoveryTest, LeftoversAreDeliveredCutMovedAsideOrDeleted)
{
    const std::string whole = records(0, 2);
    const std::string next = record(2);
    const size_t measurementStart = next.find("\n1:") + 1;
    struct Case {
        std::string title;
        std::vector<std::pair<std::string, std::string>> files;
        // Every entry afterwards, with its content ("" for a lock or link).
        std::vector<std::pair<std::string, std::string>> after;
        std::vector<std::string> logs;
        int32_t accepted;
    };
    const std::string cut = "   Cut %N byte(s) of an incomplete record from the end of \"%P\".";
    auto cutLog = [&](size_t n) {
        std::string text = cut;
        text.replace(text.find("%N"), 2, std::to_string(n));
        text.replace(text.find("%P"), 2, dir_.file("a-1-2-3.make.tmp"));
        return text;
    };
    const std::vector<Case> cases = {
        {"open copy, empty file, stale lock",
         {{"c-1-2-3.make", ""}, {"c-1-2-3.make.lock", "lock"}, {"c-1-2-3.make.tmp", whole}},
         {{recovered("c-1-2-3"), whole}},
         {"Handling files left over from previous crash...", "   Found file \"c-1-2-3.make\". Deleting it.",
          "   Found file \"c-1-2-3.make.lock\". Deleting it.", "   Found \"c-1-2-3.make.tmp\". Maybe we'll keep it...",
          "   The file \"" + dir_.file("c-1-2-3.make.tmp") + "\" was OK, and has been accepted.",
          "   1 leftover file(s) were accepted."},
         1},
        {"torn inside the classification line", {{"a-1-2-3.make.tmp", whole + next.substr(0, 5)}},
         {{recovered("a-1-2-3"), whole}}, {cutLog(5)}, 1},
        {"classification line without its measurement", {{"a-1-2-3.make.tmp", whole + next.substr(0, measurementStart)}},
         {{recovered("a-1-2-3"), whole}}, {cutLog(measurementStart)}, 1},
        {"measurement line without its break", {{"a-1-2-3.make.tmp", whole + next.substr(0, next.size() - 1)}},
         {{recovered("a-1-2-3"), whole}}, {cutLog(next.size() - 1)}, 1},
        {"no whole record: moved aside, not deleted",
         {{"a-1-2-3.make.tmp", "30:1000:x\n1:5"}, {"b-1-2-3.make", "1:2:3\n"}, {"c-1-2-3.make.tmp", ""}},
         {{"a-1-2-3.tmp.bad", "30:1000:x\n1:5"}, {"b-1-2-3.bad", "1:2:3\n"}},
         {"   The file \"" + dir_.file("a-1-2-3.make.tmp") + "\" holds no records (13 byte(s)); it was moved aside to \"" +
              dir_.file("a-1-2-3.tmp.bad") + "\".",
          "   The file\"" + dir_.file("c-1-2-3.make.tmp") + "\" has no data. Deleting it.",
          "   0 leftover file(s) were accepted."},
         0},
        {"records with text between them are not delivered",
         {{"g-1-2-3.make.tmp", record(0) + "garbage\n" + record(1)}, {"g-1-2-3.tmp.bad", "earlier"}},
         {{"g-1-2-3.tmp-1.bad", record(0) + "garbage\n" + record(1)}, {"g-1-2-3.tmp.bad", "earlier"}},
         {},
         0},
        {"other names of the pattern are deleted",
         {{"notes.makefile", whole}, {"f-1-2-3.make.TMP", whole}, {"f-1-2-3.make.~77-1", whole}, {"plain.txt", whole},
          {"f-1-2-3.make.tmp.bak", whole}, {"e-1-2-3.make", ""}},
         {{"plain.txt", whole}},
         {"   Found file \"notes.makefile\". Deleting it.", "   Found file \"f-1-2-3.make.TMP\". Deleting it.",
          "   Found file \"e-1-2-3.make\". Deleting it.", "   Found no files worth processing."},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        for (const std::string& name : entries())
            ASSERT_TRUE(removeFile(dir_.file(name), true)) << name;
        for (const auto& file : c.files)
            ASSERT_TRUE(dir_.write(file.first, file.second));
        sink_->clear();
        EXPECT_EQ(c.accepted, recover());
        std::vector<std::string> names;
        for (const auto& file : c.after) {
            names.push_back(file.first);
            EXPECT_EQ(file.second, dir_.read(file.first)) << file.first;
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, entries());
        for (const std::string& text : c.logs)
            EXPECT_TRUE(logged(text)) << text << "\n" << testing::PrintToString(sink_->texts());
    }
    // A lock a live process holds is not debris.
    LockFile held(dir_.file("h-1-2-3.make"));
    ASSERT_TRUE(held.acquire(TimeSpan(3600), false));
    recover();
    EXPECT_TRUE(fileExists(dir_.file("h-1-2-3.make.lock")));
}

// A link or another account's file in the working directory is neither
// read, cut, moved nor deleted: recovery runs as the collector's account,
// possibly root, and must not be turned against files elsewhere.
TEST_F(LeftoverRecoveryTest, LinksAndOtherAccountsFilesAreLeftAlone)
{
    Testing::TempDir elsewhere("leftover-victim");
    const std::string victim = records(0, 1) + "tail";
    ASSERT_TRUE(elsewhere.write("victim", victim));
    std::error_code ec;
    std::filesystem::create_symlink(elsewhere.file("victim"), dir_.file("v-1-2-3.make.tmp"), ec);
    ASSERT_FALSE(ec);
    std::filesystem::create_symlink(elsewhere.file("victim"), dir_.file("v-1-2-3.make"), ec);
    ASSERT_FALSE(ec);
    std::vector<std::string> expected = {"v-1-2-3.make", "v-1-2-3.make.tmp"};
    if (::geteuid() == 0) {
        ASSERT_TRUE(dir_.write("o-1-2-3.make.tmp", records(0, 1)));
        ASSERT_EQ(0, ::chown(dir_.file("o-1-2-3.make.tmp").c_str(), 65534, 65534));
        expected.insert(expected.begin(), "o-1-2-3.make.tmp");
    }
    EXPECT_EQ(0, recover());
    EXPECT_EQ(expected, entries());
    EXPECT_EQ(victim, elsewhere.read("victim"));
    EXPECT_TRUE(logged("   Found \"v-1-2-3.make.tmp\": a symbolic link. Not touching it."));
    if (::geteuid() == 0) {
        EXPECT_TRUE(logged("   Found \"o-1-2-3.make.tmp\": owned by another account (uid 65534). Not touching it."));
    }
}

// The copy was committed over the ".make" file but the process died before
// the rename to ".data": the whole interval sits in the ".make" file.
TEST_F(LeftoverRecoveryTest, CommittedMakeFileWithoutCopyIsDeliveredNotDeleted)
{
    ASSERT_TRUE(dir_.write("memLog-5-6-1.make", records(0, 3)));
    EXPECT_EQ(1, recover());
    EXPECT_EQ(std::vector<std::string>{recovered("memLog-5-6-1")}, entries());
    EXPECT_EQ(records(0, 3), dir_.read(recovered("memLog-5-6-1")));
}

// The copy begins as the ".make" content: delivering both would give the
// core program those records twice.
TEST_F(LeftoverRecoveryTest, MakeFileWhoseRecordsAreInTheCopyIsNotDeliveredTwice)
{
    ASSERT_TRUE(dir_.write("d-1-2-3.make", records(0, 2)));
    ASSERT_TRUE(dir_.write("d-1-2-3.make.tmp", records(0, 3) + "30:12"));
    EXPECT_EQ(1, recover());
    EXPECT_EQ(std::vector<std::string>{recovered("d-1-2-3")}, entries());
    EXPECT_EQ(records(0, 3), dir_.read(recovered("d-1-2-3")));
}

TEST_F(LeftoverRecoveryTest, MakeFileAndCopyThatDifferAreBothDeliveredUnderDistinctNames)
{
    ASSERT_TRUE(dir_.write("d-1-2-3.make", records(5, 2)));
    ASSERT_TRUE(dir_.write("d-1-2-3.make.tmp", records(0, 3)));
    EXPECT_EQ(2, recover());
    std::vector<std::string> names = entries();
    ASSERT_EQ(2u, names.size());
    std::string all = dir_.read(names[0]) + dir_.read(names[1]);
    EXPECT_NE(std::string::npos, all.find(records(5, 2)));
    EXPECT_NE(std::string::npos, all.find(records(0, 3)));
    EXPECT_EQ(records(5, 2).size() + records(0, 3).size(), all.size());
}

TEST_F(LeftoverRecoveryTest, ExistingFileOfTheRecoveredNameIsNeverReplaced)
{
    ASSERT_TRUE(dir_.write(recovered("e-1-2-3"), "delivered before"));
    ASSERT_TRUE(dir_.write(recovered("e-1-2-3", "-1"), "also before"));
    ASSERT_TRUE(dir_.write("e-1-2-3.make.tmp", records(0, 1)));
    EXPECT_EQ(1, recover());
    EXPECT_EQ("delivered before", dir_.read(recovered("e-1-2-3")));
    EXPECT_EQ("also before", dir_.read(recovered("e-1-2-3", "-1")));
    EXPECT_EQ(records(0, 1), dir_.read(recovered("e-1-2-3", "-2")));
}

TEST_F(LeftoverRecoveryTest, EmptyDirectoryIsReportedAsSuch)
{
    EXPECT_EQ(0, recover());
    EXPECT_TRUE(logged("    No files found."));
    EXPECT_FALSE(logged("   Found no files worth processing."));
}

// Before configuration there is no working directory; the process's current
// directory must not be taken for one.
TEST_F(LeftoverRecoveryTest, NoWorkingDirectoryTouchesNothing)
{
    ASSERT_TRUE(dir_.write("z-1-2-3.make.tmp", records(0, 1)));
    const std::string here = Platform::currentDirectory();
    ASSERT_TRUE(Platform::setCurrentDirectory(dir_.path()));
    EXPECT_EQ(0, LeftoverRecovery::recover("", unit_));
    EXPECT_TRUE(Platform::setCurrentDirectory(here));
    EXPECT_EQ(std::vector<std::string>{"z-1-2-3.make.tmp"}, entries());
}

TEST_F(LeftoverRecoveryTest, CompleteLengthFindsTheEndOfTheLastRecord)
{
    const std::string one = record(0);
    const std::string garbage = "garbage line\n";
    struct Case {
        std::string content;
        uint64_t expected;
    };
    const std::vector<Case> cases = {
        {"", 0},
        {one, one.size()},
        {"30:1:??\r\n1:2\r\n", 14},
        {"30:1:??\n1\n", 10},                          // a scheme without counters
        {"30:1:??\n1", 0},                             // the line end never came
        {"1:2\n30:1\n", 0},                            // the wrong order
        {"30:1\n30:2\n1:5\n", 14},                     // a classification line without its pair
        {one + garbage + one, 2 * one.size() + garbage.size()},
        {one + "30:1\n10:5\n", one.size()},            // "10:" is no measurement line
        {one + "30:1\n", one.size()},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(dir_.write("x", cases[i].content));
        uint64_t length = 99;
        ASSERT_TRUE(LeftoverRecovery::completeLength(dir_.file("x"), length));
        EXPECT_EQ(cases[i].expected, length);
    }
    uint64_t length = 0;
    EXPECT_FALSE(LeftoverRecovery::completeLength(dir_.file("missing"), length));
}

// Records of thousands of counters span the scan's pieces: a line that
// starts in one piece and ends in the next must be judged by its start.
TEST_F(LeftoverRecoveryTest, RecordsAcrossScanPiecesAreTrimmedExactly)
{
    std::string big = "30:1:??:0:host:0:x86_64:0:d:0:Linux:0:prime: : : : : : : : : : \n1";
    while (big.size() < LeftoverRecovery::SCAN_CHUNK * 2 + 17)
        big += ":12345.678";
    big += "\n";
    std::string content = big + big + big.substr(0, LeftoverRecovery::SCAN_CHUNK + 3);
    // Let the classification line of the cut record start right after a piece boundary.
    ASSERT_TRUE(dir_.write("y-1-2-3.make.tmp", content));
    uint64_t kept = 0;
    uint64_t removed = 0;
    ASSERT_TRUE(LeftoverRecovery::trimToLastRecord(dir_.file("y-1-2-3.make.tmp"), kept, removed));
    EXPECT_EQ(2 * big.size(), kept);
    EXPECT_EQ(LeftoverRecovery::SCAN_CHUNK + 3, removed);
    EXPECT_EQ(big + big, dir_.read("y-1-2-3.make.tmp"));
    // A second trim finds nothing more to cut.
    ASSERT_TRUE(LeftoverRecovery::trimToLastRecord(dir_.file("y-1-2-3.make.tmp"), kept, removed));
    EXPECT_EQ(0u, removed);
}

TEST_F(LeftoverRecoveryTest, SamePrefixComparesOnlyTheGivenLength)
{
    std::string a(LeftoverRecovery::SCAN_CHUNK + 100, 'a');
    std::string b = a + "tail";
    ASSERT_TRUE(dir_.write("a", a));
    ASSERT_TRUE(dir_.write("b", b));
    EXPECT_TRUE(LeftoverRecovery::samePrefix(dir_.file("a"), dir_.file("b"), a.size()));
    EXPECT_FALSE(LeftoverRecovery::samePrefix(dir_.file("a"), dir_.file("b"), b.size()));
    b[LeftoverRecovery::SCAN_CHUNK + 50] = 'x';
    ASSERT_TRUE(dir_.write("b", b));
    EXPECT_FALSE(LeftoverRecovery::samePrefix(dir_.file("a"), dir_.file("b"), a.size()));
    EXPECT_TRUE(LeftoverRecovery::samePrefix(dir_.file("a"), dir_.file("b"), LeftoverRecovery::SCAN_CHUNK + 50));
}

TEST_F(LeftoverRecoveryTest, NamesOfRecoveredFilesAndLockDebris)
{
    EXPECT_EQ("/w/cpuLog-1-2-3-10-20.data", LeftoverRecovery::recoveredName("/w/cpuLog-1-2-3.make.tmp", 10, 20));
    EXPECT_EQ("/w/cpuLog-1-2-3-10-20.data", LeftoverRecovery::recoveredName("/w/cpuLog-1-2-3.make", 10, 20));
    EXPECT_EQ("/w/remake-1-10-20-4.data", LeftoverRecovery::recoveredName("/w/remake-1.make", 10, 20, 4));
    EXPECT_TRUE(LeftoverRecovery::isLockDebris("a.make.lock"));
    EXPECT_TRUE(LeftoverRecovery::isLockDebris("a.make.lock.~12-0"));
    EXPECT_FALSE(LeftoverRecovery::isLockDebris(".make.lock"));
    EXPECT_FALSE(LeftoverRecovery::isLockDebris("a.make.lock.~12-"));
    EXPECT_FALSE(LeftoverRecovery::isLockDebris("a.make.lock.~x-1"));
    EXPECT_FALSE(LeftoverRecovery::isLockDebris("a.make.lock.bak"));
    EXPECT_FALSE(LeftoverRecovery::isLockDebris("a.make.tmp"));
}

// A writer killed at any moment: what recovery delivers is whole records
// only, and at least every record the writer had finished.
TEST_F(LeftoverRecoveryTest, KilledWriterLosesNoFinishedRecord)
{
    clock_.readWith([] { return Clock::system().nowSeconds(); });
    LogFile::setLoggerUnit(SmartPointer<LoggerUnit>());
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        Testing::TempDir dir("leftover-kill");
        const std::string progress = dir.file("progress");
        const std::string work = dir.path() + "/w/";
        ASSERT_TRUE(createDirectory(work));
        Platform::ProcessId child = Testing::forkChild([&] {
            LogFile file;
            file.setName(work + "killLog");
            // Long records cross the stream buffer; an end every few records
            // hits the window between commit and rename.
            std::string pad(9000 + 1000 * round, '7');
            for (int n = 0;; ++n) {
                std::string text = record(n);
                text.insert(text.size() - 1, ":" + pad);
                text.pop_back();
                // The pause widens the moment between a record's body and
                // its line end, where a kill leaves half a record.
                if (!file.write(text))
                    return 3;
                Platform::threadSleep(2);
                if (!file.endLine())
                    return 3;
                appendText(progress, "x");
                if (n % 3 == 2)
                    file.end();
            }
        });
        ASSERT_GT(child, 0);
        // Kill it some way into its writing.
        while (fileSize(progress) < static_cast<uint64_t>(5 + 4 * round))
            Platform::threadSleep(5);
        ASSERT_TRUE(Testing::killProcessHard(child));
        Testing::waitChild(child, 10000);
        const uint64_t finished = fileSize(progress);

        LeftoverRecovery::recover(work, SmartPointer<LoggerUnit>());
        uint64_t delivered = 0;
        for (const DirectoryEntry& e : listDirectory(work, "*")) {
            if (!e.isFile)
                continue;
            const std::string path = work + e.name;
            uint64_t length = 0;
            ASSERT_TRUE(LeftoverRecovery::completeLength(path, length));
            // A copy killed before its first whole record is kept aside.
            if (e.name.size() > 4 && e.name.compare(e.name.size() - 4, 4, ".bad") == 0) {
                EXPECT_EQ(0u, length) << e.name;
                continue;
            }
            ASSERT_TRUE(e.name.size() > 5 && e.name.compare(e.name.size() - 5, 5, ".data") == 0) << e.name;
            EXPECT_EQ(fileSize(path), length) << e.name;
            std::string text = Testing::TempDir::readFile(path);
            delivered += std::count(text.begin(), text.end(), '\n') / 2;
        }
        EXPECT_GE(delivered, finished);
        // At most the record being written when the kill came is extra.
        EXPECT_LE(delivered, finished + 1);
    }
}

} // namespace
