#include "ravlon/LeftoverRecovery.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST_F(LeftoverRecoveryTest, CrashWithOpenCopyDeliversTheCopyAndClearsTheRest)
{
    const std::string base = "cpuLog-1291-12-3";
    ASSERT_TRUE(dir_.write(base + ".make", ""));
    ASSERT_TRUE(dir_.write(base + ".make.lock", "lock"));
    ASSERT_TRUE(dir_.write(base + ".make.tmp", records(0, 2)));

    EXPECT_EQ(1, recover());
    EXPECT_EQ(std::vector<std::string>{recovered(base)}, entries());
    EXPECT_EQ(records(0, 2), dir_.read(recovered(base)));
    EXPECT_TRUE(logged("Handling files left over from previous crash..."));
    EXPECT_TRUE(logged("   Found file \"" + base + ".make.lock\". Deleting it."));
    EXPECT_TRUE(logged("   Found \"" + base + ".make.tmp\". Maybe we'll keep it..."));
    EXPECT_TRUE(logged("   The file\"" + dir_.file(base + ".make") + "\" has no data. Deleting it."));
    EXPECT_TRUE(logged("   The file \"" + dir_.file(base + ".make.tmp") + "\" was OK, and has been accepted."));
    EXPECT_TRUE(logged("   1 leftover file(s) were accepted."));
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

TEST_F(LeftoverRecoveryTest, IncompleteLastRecordIsCutBackWithAReason)
{
    const std::string whole = records(0, 2);
    const std::string next = record(2);
    const size_t measurementStart = next.find("\n1:") + 1;
    // Cut inside the classification line, after it, inside the measurement
    // line, and just before the measurement line's end.
    const std::vector<size_t> cuts = {5, measurementStart, measurementStart + 3, next.size() - 1};
    for (size_t cut : cuts) {
        SCOPED_TRACE(cut);
        Testing::TempDir dir("leftover-cut");
        ASSERT_TRUE(dir.write("a-1-2-3.make.tmp", whole + next.substr(0, cut)));
        sink_->clear();
        EXPECT_EQ(1, LeftoverRecovery::recover(dir.path(), unit_));
        EXPECT_EQ(whole, dir.read(recovered("a-1-2-3")));
        EXPECT_TRUE(logged("   Cut " + std::to_string(cut) + " byte(s) of an incomplete record from the end of \"" +
                           dir.file("a-1-2-3.make.tmp") + "\"."))
            << testing::PrintToString(sink_->texts());
    }
}

TEST_F(LeftoverRecoveryTest, FileWithoutCompleteRecordIsDeletedAndNotCounted)
{
    const std::string partial = record(0).substr(0, 40);
    ASSERT_TRUE(dir_.write("a-1-2-3.make.tmp", partial));
    ASSERT_TRUE(dir_.write("b-1-2-3.make", "1:2:3\n"));  // a measurement line alone
    ASSERT_TRUE(dir_.write("c-1-2-3.make.tmp", ""));
    EXPECT_EQ(0, recover());
    EXPECT_EQ(std::vector<std::string>(), entries());
    EXPECT_TRUE(logged("   The file \"" + dir_.file("a-1-2-3.make.tmp") +
                       "\" holds no complete record (40 byte(s)). Deleting it."));
    EXPECT_TRUE(logged("   The file\"" + dir_.file("c-1-2-3.make.tmp") + "\" has no data. Deleting it."));
    EXPECT_TRUE(logged("   0 leftover file(s) were accepted."));
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

TEST_F(LeftoverRecoveryTest, OnlyDataFilesAndLockDebrisAreTouched)
{
    const std::vector<std::string> foreign = {
        "notes.makefile", "f-1-2-3.make.TMP", "f-1-2-3.data", "f-1-2-3.make.~77-1",
        "f-1-2-3.make.lock.~abc", "f-1-2-3.make.tmp.bak", "plain.txt",
    };
    for (const std::string& name : foreign)
        ASSERT_TRUE(dir_.write(name, records(0, 1)));
    ASSERT_TRUE(dir_.write("g-1-2-3.make.lock.~4242-7", "half-published lock"));
    ASSERT_TRUE(dir_.write("g-1-2-3.make.lock", "stale lock"));
    // A lock a live process holds is not debris.
    LockFile held(dir_.file("h-1-2-3.make"));
    ASSERT_TRUE(held.acquire(TimeSpan(3600), false));

    EXPECT_EQ(0, recover());
    std::vector<std::string> expected = foreign;
    expected.push_back("h-1-2-3.make.lock");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, entries());
    for (const std::string& name : foreign)
        EXPECT_EQ(records(0, 1), dir_.read(name)) << name;
    EXPECT_TRUE(logged("   Found no files worth processing."));
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
            ASSERT_TRUE(e.name.size() > 5 && e.name.compare(e.name.size() - 5, 5, ".data") == 0) << e.name;
            const std::string path = work + e.name;
            uint64_t length = 0;
            ASSERT_TRUE(LeftoverRecovery::completeLength(path, length));
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
