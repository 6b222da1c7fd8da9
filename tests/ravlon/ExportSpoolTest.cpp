// The export spool keeps every record until the engine has it, across a
// crash at any point: an entry is whole or absent, and the cursor moves
// only when told.

#include <gtest/gtest.h>

#include <string>

#include "ravlon/ExportSpool.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;

namespace {

std::string line(int n) { return "m,host=h f=" + std::to_string(n) + " " + std::to_string(1700000000 + n) + "\n"; }

bool append(ExportSpool& spool, const std::string& text)
{
    uint64_t dropped = 0;
    return spool.append(text, dropped) && dropped == 0;
}

} // namespace

TEST(ExportSpoolTest, SentEntriesStayBehindTheCursorAcrossARestart)
{
    TempDir dir("spool");
    const std::string directory = dir.path() + "/";
    {
        ExportSpool spool(directory, "influx", 1 << 20);
        std::string problem;
        ASSERT_TRUE(spool.open(problem)) << problem;
        for (int n = 1; n <= 3; ++n)
            ASSERT_TRUE(append(spool, line(n)));
        ExportSpool::Batch batch;
        ASSERT_TRUE(spool.nextBatch(1 << 20, batch));
        EXPECT_EQ(line(1) + line(2) + line(3), batch.text);
        EXPECT_EQ(3u, batch.last);
        // Only the first two reached the engine before the process died.
        ASSERT_TRUE(spool.commit(2));
    }
    ExportSpool again(directory, "influx", 1 << 20);
    std::string problem;
    ASSERT_TRUE(again.open(problem)) << problem;
    ExportSpool::Batch batch;
    ASSERT_TRUE(again.nextBatch(1 << 20, batch));
    EXPECT_EQ(line(3), batch.text);
    ASSERT_TRUE(again.commit(batch.last));
    // All sent: nothing to send, and numbering goes on after a restart.
    EXPECT_EQ(0u, again.pendingEntries());
    EXPECT_FALSE(again.nextBatch(1 << 20, batch));
    ExportSpool third(directory, "influx", 1 << 20);
    ASSERT_TRUE(third.open(problem));
    ASSERT_TRUE(append(third, line(4)));
    ASSERT_TRUE(third.nextBatch(1 << 20, batch));
    EXPECT_EQ(4u, batch.last);
    EXPECT_EQ(line(4), batch.text);
}

TEST(ExportSpoolTest, AnEntryCutShortByACrashIsCutOff)
{
    TempDir dir("spool");
    const std::string directory = dir.path() + "/";
    {
        ExportSpool spool(directory, "influx", 1 << 20);
        std::string problem;
        ASSERT_TRUE(spool.open(problem));
        ASSERT_TRUE(append(spool, line(1)));
    }
    const std::string whole = dir.read("influx.spool");
    // Killed in the middle of the second entry's text; then a header torn
    // in its middle on its own.
    for (const std::string& torn : {std::string("R 2 20 12345678\nm,host=h f=2"), std::string("R 2 2")}) {
        ASSERT_TRUE(dir.write("influx.spool", whole + torn));
        ExportSpool spool(directory, "influx", 1 << 20);
        std::string problem;
        ASSERT_TRUE(spool.open(problem)) << problem;
        EXPECT_EQ(whole, dir.read("influx.spool"));
        ExportSpool::Batch batch;
        ASSERT_TRUE(spool.nextBatch(1 << 20, batch));
        EXPECT_EQ(line(1), batch.text);
        EXPECT_EQ(1u, batch.last);
    }
    // A changed byte in an entry's text fails its checksum: that entry and
    // what follows are no longer trusted.
    std::string flipped = whole;
    flipped[flipped.size() - 3] = '9';
    ASSERT_TRUE(dir.write("influx.spool", flipped));
    ExportSpool spool(directory, "influx", 1 << 20);
    std::string problem;
    ASSERT_TRUE(spool.open(problem));
    EXPECT_EQ(0u, spool.pendingEntries());
}

TEST(ExportSpoolTest, PastItsLimitTheOldestUnsentEntriesGoAndAreCounted)
{
    TempDir dir("spool");
    const std::string directory = dir.path() + "/";
    const uint64_t limit = 1000;
    ExportSpool spool(directory, "influx", limit);
    std::string problem;
    ASSERT_TRUE(spool.open(problem));
    uint64_t droppedTotal = 0;
    for (int n = 1; n <= 100; ++n) {
        uint64_t dropped = 0;
        ASSERT_TRUE(spool.append(line(n), dropped)) << n;
        droppedTotal += dropped;
        ASSERT_LE(spool.pendingBytes(), limit);
    }
    EXPECT_GT(droppedTotal, 0u);
    EXPECT_EQ(100u, droppedTotal + spool.pendingEntries());
    // What is left are the newest, in order, ending with the last one.
    ExportSpool::Batch batch;
    ASSERT_TRUE(spool.nextBatch(1 << 20, batch));
    EXPECT_EQ(100u, batch.last);
    EXPECT_EQ(line(100), batch.text.substr(batch.text.size() - line(100).size()));
    EXPECT_EQ(line(101 - static_cast<int>(batch.entries)), batch.text.substr(0, line(101 - static_cast<int>(batch.entries)).size()));
    EXPECT_LE(dir.read("influx.spool").size(), limit);
    // An entry larger than the whole spool is refused and counted.
    uint64_t dropped = 0;
    EXPECT_FALSE(spool.append(std::string(limit, 'x'), dropped));
    EXPECT_EQ(1u, dropped);
}
