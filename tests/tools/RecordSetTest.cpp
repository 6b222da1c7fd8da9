#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RecordSet.h"
#include "support/TempDir.h"

using Telvar::Ctl::RecordSet;
using Telvar::Testing::TempDir;

TEST(RecordSetTest, ColumnIsFoundByPathNumberOrTheEndOfOnePath)
{
    const std::vector<std::string> columns = {"\\Processor(_Total)\\% Processor Time", "\\Processor(0)\\% Processor Time",
                                              "\\Memory\\Available Bytes", "\\Memory\\Pages/sec"};
    struct Case {
        const char* selection;
        int column;
        const char* error;
    } cases[] = {
        {"\\Memory\\Pages/sec", 3, ""},
        {"Available Bytes", 2, ""},
        {"1", 0, ""},
        {"4", 3, ""},
        {"0", -1, "no column 0 (there are 4)"},
        {"5", -1, "no column 5 (there are 4)"},
        {"% Processor Time", -1,
         "\"% Processor Time\" names several counters: \\Processor(_Total)\\% Processor Time, "
         "\\Processor(0)\\% Processor Time"},
        {"(0)\\% Processor Time", 1, ""},
        {"Memory", -1, "no counter \"Memory\""},
        {"", -1, "no counter \"\""},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(c.column, RecordSet::findColumn(columns, c.selection, error)) << c.selection;
        EXPECT_EQ(c.error, error) << c.selection;
    }
}

TEST(RecordSetTest, CountersFileIsBounded)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("big.counters", "Memory\n{\nAvailable Bytes\n}\n"));
    std::filesystem::resize_file(dir.file("big.counters"), RecordSet::MAX_COUNTERS_FILE + 1);
    std::vector<std::string> paths;
    std::string error;
    EXPECT_FALSE(RecordSet::readCountersFile(dir.file("big.counters"), paths, error));
    EXPECT_EQ("counters file " + dir.file("big.counters") + ": larger than 1048576 bytes", error);

    ASSERT_TRUE(dir.write("ok.counters", "Memory\n{\nAvailable Bytes\n}\n"));
    EXPECT_TRUE(RecordSet::readCountersFile(dir.file("ok.counters"), paths, error));
    EXPECT_EQ(std::vector<std::string>{"\\Memory\\Available Bytes"}, paths);
}
