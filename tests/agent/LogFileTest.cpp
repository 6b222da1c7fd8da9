#include "agent/LogFile.h"

#include <gtest/gtest.h>

#include "logger/LogCommons.h"

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/FilePlain.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "platform/ThreadId.h"
#include "support/FileSizeLimit.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/ScopedTimeZone.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

// 2011-03-04T05:06:07Z
constexpr int64_t STAMP = 1299215167;
const std::string AT = "2011-03-04T05:06:07";

std::string tid() { return std::to_string(Platform::currentThreadId()); }
std::string pid() { return std::to_string(Platform::currentProcessId()); }

std::string debugLine(int level, const std::string& text)
{
    return "debug-" + std::to_string(level) + "  " + AT + " (8.21)    " + tid() + ": " + text;
}

std::string messageLine(const std::string& severity, int number, const std::vector<std::string>& params)
{
    std::string line = severity + std::string(9 - severity.size(), ' ') + AT + " (8.21." +
                       (number < 10 ? "0" : "") + std::to_string(number) + ") " + tid() +
                       ": ";
    // Worded by the texts built into the program.
    std::string templ;
    EXPECT_TRUE(LogCommons::builtIn().lookup(MODULE_AGENT, number, templ));
    size_t next = 0;
    for (size_t at = templ.find("%s"); at != std::string::npos; at = templ.find("%s", at)) {
        const std::string p = next < params.size() ? params[next++] : "<\?\?\?>";
        templ.replace(at, 2, p);
        at += p.size();
    }
    return line + templ;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock_.sleepWith([](int) {});
        setDebugLevel(5);
        unit_ = SmartPointer<LoggerUnit>(new LoggerUnit(MemorySink::makeCentre(sink_), MODULE_AGENT));
        LogFile::setLoggerUnit(unit_);
        sink_->clear();
    }
    void TearDown() override
    {
        LogFile::setLoggerUnit(SmartPointer<LoggerUnit>());
    }

    // "<dir>/<base>-STAMP-PID-<n>.make" for the next n setName hands out.
    std::string nextName(const std::string& base, uint32_t ahead = 1) const
    {
        return dir_.file(base) + "-" + std::to_string(STAMP) + "-" + pid() + "-" +
               std::to_string(LogFile::lastSequence() + ahead) + ".make";
    }

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const DirectoryEntry& e : listDirectory(dir_.path(), "*"))
            if (e.name != "." && e.name != "..")
                names.push_back(e.name);
        std::sort(names.begin(), names.end());
        return names;
    }

    // Directory order: sequence numbers of different widths sort as text.
    static std::vector<std::string> sorted(std::vector<std::string> names)
    {
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string fileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

    Testing::ManualClock clock_{STAMP};
    Testing::TempDir dir_{"logfile"};
    SmartPointer<MemorySink> sink_;
    SmartPointer<LoggerUnit> unit_;

private:
    Testing::ScopedTimeZone zone_{"UTC"};
};

TEST_F(LogFileTest, NamesAreUniqueWithinOneSecondAndNothingIsCreated)
{
    const std::string first = nextName("cpuLog");
    const std::string second = nextName("cpuLog", 2);
    LogFile a;
    LogFile b;
    EXPECT_EQ("", a.getName());
    a.setName(dir_.file("cpuLog"));
    b.setName(dir_.file("cpuLog"));
    EXPECT_EQ(first, a.getName());
    EXPECT_EQ(second, b.getName());
    EXPECT_EQ(std::vector<std::string>(), entries());
    std::vector<std::string> expected = {
        debugLine(3, "LogFile: Set name = \"" + first + "\"."),
        debugLine(3, "LogFile: Set name = \"" + second + "\"."),
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(LogFileTest, WithoutANameNothingIsWritten)
{
    LogFile file;
    EXPECT_FALSE(file.write("x"));
    EXPECT_FALSE(file.endLine());
    EXPECT_FALSE(file.open());
    file.end();
    file.updateName();
    std::vector<std::string> expected = {
        debugLine(5, "LogFile: Writing..."),
        messageLine("ERROR", 3, {"LogFile:write: Trying to write to NULL file object."}),
        debugLine(5, "LogFile: Writing..."),
        messageLine("ERROR", 3, {"LogFile:write: Trying to write to NULL file object."}),
        debugLine(3, "LogFile: Opening file: ..."),
        messageLine("ERROR", 1, {"Open logfile ", ""}),
        debugLine(1, "UpdateName ERROR: Trying to update void file object."),
    };
    EXPECT_EQ(expected, sink_->lines());
    EXPECT_EQ(std::vector<std::string>(), entries());
}

TEST_F(LogFileTest, RecordsGoToTheMakeFileAndEndDeliversThem)
{
    LogFile file;
    const std::string make = nextName("cpuLog");
    file.setName(dir_.file("cpuLog"));
    file.end(); // nothing written: nothing happens
    EXPECT_EQ(make, file.getName());
    EXPECT_EQ(std::vector<std::string>(), entries());

    sink_->clear();
    ASSERT_TRUE(file.write("t:1"));
    // The records live in the working copy until the file is closed; the
    // lock leaves an empty ".make" file in its place meanwhile.
    std::vector<std::string> during = {fileName(make), fileName(make) + ".lock", fileName(make) + ".tmp"};
    EXPECT_EQ(during, entries());
    EXPECT_EQ("", dir_.read(fileName(make)));
    ASSERT_TRUE(file.endLine());
    EXPECT_EQ("t:1\n", dir_.read(fileName(make) + ".tmp")); // flushed with its line end
    ASSERT_TRUE(file.write("t:2"));
    ASSERT_TRUE(file.endLine());
    std::vector<std::string> opening = {
        debugLine(5, "LogFile: Writing..."),
        debugLine(5, "   LogFile: File is not open. Opening..."),
        debugLine(3, "LogFile: Opening file: " + make + "..."),
        debugLine(4, "   LogFile: File opened."),
        debugLine(5, "LogFile: Writing..."),
        debugLine(5, "LogFile: Writing..."),
        debugLine(5, "LogFile: Writing..."),
    };
    EXPECT_EQ(opening, sink_->lines());

    sink_->clear();
    const std::string next = nextName("cpuLog");
    const std::string data = make.substr(0, make.size() - 4) + "data";
    file.end();
    EXPECT_EQ(std::vector<std::string>{fileName(data)}, entries());
    EXPECT_EQ("t:1\nt:2\n", dir_.read(fileName(data)));
    EXPECT_EQ(next, file.getName());
    std::vector<std::string> ending = {
        debugLine(4, "LogFile: Ending file \"" + make + "\"..."),
        debugLine(4, "LogFile: Renaming file \"" + fileName(make) + "\" to \"" + fileName(data) + "\"."),
        debugLine(2, "LogFile: Ended file \"" + make + "\"."),
        debugLine(3, "LogFile: Set name = \"" + next + "\"."),
        debugLine(4, "LogFile: Updated file name from \"" + fileName(data) + "\" to \"" + fileName(next) + "\"."),
    };
    EXPECT_EQ(ending, sink_->lines());

    // The next interval writes into the next file.
    ASSERT_TRUE(file.write("t:3"));
    ASSERT_TRUE(file.endLine());
    file.end();
    const std::string data2 = next.substr(0, next.size() - 4) + "data";
    std::vector<std::string> both = {fileName(data), fileName(data2)};
    EXPECT_EQ(sorted(both), entries());
    EXPECT_EQ("t:3\n", dir_.read(fileName(data2)));
}

TEST_F(LogFileTest, OpenAndSetNameEndAnOpenFileFirst)
{
    LogFile file;
    const std::string first = nextName("memLog");
    file.setName(dir_.file("memLog"));
    ASSERT_TRUE(file.write("a\n"));
    const std::string second = nextName("memLog");
    ASSERT_TRUE(file.open()); // ends the first file, opens its successor
    EXPECT_EQ(second, file.getName());
    ASSERT_TRUE(file.write("b\n"));
    file.setName(dir_.file("diskLog"));
    std::vector<std::string> expected = {fileName(first.substr(0, first.size() - 4) + "data"),
                                         fileName(second.substr(0, second.size() - 4) + "data")};
    EXPECT_EQ(sorted(expected), entries());
    EXPECT_EQ("a\n", dir_.read(expected[0]));
    EXPECT_EQ("b\n", dir_.read(expected[1]));
}

TEST_F(LogFileTest, DeliveryBetweenWriteAndLineEndKeepsBothFilesWellFormed)
{
    LogFile file;
    const std::string first = nextName("cpuLog");
    file.setName(dir_.file("cpuLog"));
    ASSERT_TRUE(file.write("c:1\nm:1"));
    file.end();                  // the delivery thread gets in between
    EXPECT_TRUE(file.endLine()); // the collector ends its record
    const std::string second = file.getName();
    ASSERT_TRUE(file.write("c:2\nm:2"));
    ASSERT_TRUE(file.endLine());
    file.end();
    std::vector<std::string> expected = {fileName(first.substr(0, first.size() - 4) + "data"),
                                         fileName(second.substr(0, second.size() - 4) + "data")};
    ASSERT_EQ(expected, entries());
    EXPECT_EQ("c:1\nm:1\n", dir_.read(expected[0]));
    EXPECT_EQ("c:2\nm:2\n", dir_.read(expected[1]));
}

TEST_F(LogFileTest, BasesWithDashOrMakeKeepTheirNames)
{
    EXPECT_EQ("/w/ab-cd", LogFile::baseOf("/w/ab-cd-1299215167-42-7.make"));
    EXPECT_EQ("C:\\w\\remake", LogFile::baseOf("C:\\w\\remake-1-2-3.make"));
    EXPECT_EQ("/w/x-y/ab", LogFile::baseOf("/w/x-y/ab-cd")); // not one of ours
    EXPECT_EQ("/w/make/remake-1-2-3.data", LogFile::deliveredName("/w/make/remake-1-2-3.make"));
    EXPECT_EQ("redata-1.txt", LogFile::deliveredName("remake-1.txt"));

    LogFile dashed;
    dashed.setName(dir_.file("ab-cd"));
    ASSERT_TRUE(dashed.write("1\n"));
    const std::string firstDashed = dashed.getName();
    dashed.end();
    EXPECT_EQ(nextName("ab-cd", 0), dashed.getName());

    LogFile remade;
    remade.setName(dir_.file("remake"));
    const std::string firstRemade = remade.getName();
    ASSERT_TRUE(remade.write("2\n"));
    remade.end();
    EXPECT_EQ(nextName("remake", 0), remade.getName());

    std::vector<std::string> expected = {fileName(firstDashed.substr(0, firstDashed.size() - 4) + "data"),
                                         fileName(firstRemade.substr(0, firstRemade.size() - 4) + "data")};
    EXPECT_EQ(sorted(expected), entries());
    EXPECT_EQ("1\n", dir_.read(expected[0]));
    EXPECT_EQ("2\n", dir_.read(expected[1]));
}

TEST_F(LogFileTest, DeliveryReplacesAnExistingDataFile)
{
    LogFile file;
    const std::string make = nextName("cpuLog");
    const std::string data = fileName(make.substr(0, make.size() - 4) + "data");
    ASSERT_TRUE(dir_.write(data, "stale contents\n"));
    file.setName(dir_.file("cpuLog"));
    ASSERT_TRUE(file.write("fresh"));
    ASSERT_TRUE(file.endLine());
    file.end();
    EXPECT_EQ(std::vector<std::string>{data}, entries());
    EXPECT_EQ("fresh\n", dir_.read(data));
}

TEST_F(LogFileTest, AFailedRenameKeepsTheMakeFileAndMovesOn)
{
    LogFile file;
    const std::string make = nextName("cpuLog");
    const std::string data = make.substr(0, make.size() - 4) + "data";
    // A non-empty directory in the way cannot be replaced.
    ASSERT_TRUE(dir_.makeDirectory(fileName(data)));
    ASSERT_TRUE(dir_.write(fileName(data) + "/keep", "k"));
    file.setName(dir_.file("cpuLog"));
    ASSERT_TRUE(file.write("r:1"));
    ASSERT_TRUE(file.endLine());
    sink_->clear();
    const std::string next = nextName("cpuLog");
    file.end();
    EXPECT_EQ(messageLine("WARNING", 10, {make, data}), sink_->lines()[2]);
    EXPECT_EQ(next, file.getName());
    EXPECT_EQ("r:1\n", dir_.read(fileName(make)));

    ASSERT_TRUE(file.write("r:2"));
    ASSERT_TRUE(file.endLine());
    file.end();
    const std::string data2 = fileName(next.substr(0, next.size() - 4) + "data");
    std::vector<std::string> expected = {fileName(make), fileName(data), data2};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted(expected), entries());
    EXPECT_EQ("r:2\n", dir_.read(data2));
}

TEST_F(LogFileTest, AFailedCloseEscapesAndLaterRecordsGoToANewFile)
{
    LogFile file;
    const std::string make = nextName("cpuLog");
    file.setName(dir_.file("cpuLog"));
    ASSERT_TRUE(file.write("r:1"));
    ASSERT_TRUE(file.endLine());
    // The working copy cannot replace the ".make" file any more.
    ASSERT_TRUE(removeFile(make, true));
    ASSERT_TRUE(dir_.makeDirectory(fileName(make)));
    ASSERT_TRUE(dir_.write(fileName(make) + "/keep", "k"));
    const std::string next = nextName("cpuLog");
    EXPECT_THROW(file.end(), FileException);
    EXPECT_EQ(next, file.getName());
    EXPECT_EQ("r:1\n", dir_.read(fileName(make) + ".tmp"));

    // The lock was given back and the kept records are not overwritten.
    ASSERT_TRUE(file.write("r:2"));
    ASSERT_TRUE(file.endLine());
    file.end();
    EXPECT_EQ("r:1\n", dir_.read(fileName(make) + ".tmp"));
    EXPECT_EQ("r:2\n", dir_.read(fileName(next.substr(0, next.size() - 4) + "data")));
}

TEST_F(LogFileTest, AFileThatCannotBeOpenedIsReported)
{
    LogFile file;
    const std::string base = dir_.file("missing/cpuLog");
    file.setName(base);
    const std::string name = file.getName();

    // The same failure, raised by the file itself.
    std::string code;
    std::string full;
    try {
        FilePlain probe(name);
        probe.open(FileBase::ACCESS_WRITE | FileBase::ACCESS_TRUNCATE | FileBase::ACCESS_CREATE);
        FAIL() << "the directory is missing, the open must fail";
    } catch (Exception& e) {
        e.addTrace(LogFile::SOURCE, LogFile::OPEN_LINE);
        code = e.codeText();
        full = e.fullText();
    }
    sink_->clear();
    EXPECT_FALSE(file.write("x"));
    std::vector<std::string> expected = {
        debugLine(5, "LogFile: Writing..."),
        debugLine(5, "   LogFile: File is not open. Opening..."),
        debugLine(3, "LogFile: Opening file: " + name + "..."),
        messageLine("ERROR", 2, {name, code}),
        debugLine(1, "LogFile: " + full),
    };
    EXPECT_EQ(expected, sink_->lines());
    EXPECT_EQ(std::vector<std::string>(), entries());
    EXPECT_EQ(name, file.getName());
}

TEST_F(LogFileTest, DestructionDeliversAnOpenFile)
{
    const std::string make = nextName("cpuLog");
    {
        LogFile file;
        file.setName(dir_.file("cpuLog"));
        ASSERT_TRUE(file.write("last"));
    }
    const std::string data = fileName(make.substr(0, make.size() - 4) + "data");
    EXPECT_EQ(std::vector<std::string>{data}, entries());
    EXPECT_EQ("last\n", dir_.read(data));
}

TEST_F(LogFileTest, DeliveriesDuringWritingLoseNoRecord)
{
    clock_.readWith([] { return Clock::system().nowSeconds(); });
    setDebugLevel(0);
    // One writer per stream, as the collector has one per scheme.
    LogFile cpu;
    LogFile mem;
    cpu.setName(dir_.file("cpuLog"));
    mem.setName(dir_.file("memLog"));
    constexpr int RECORDS = 150;
    auto writer = [](LogFile* file, const std::string& who) {
        for (int i = 0; i < RECORDS; ++i) {
            std::string n = std::to_string(i);
            EXPECT_TRUE(file->write("c:" + who + ":" + n + "\nm:" + who + ":" + n));
            EXPECT_TRUE(file->endLine());
        }
    };
    std::thread a(writer, &cpu, "cpu");
    std::thread b(writer, &mem, "mem");
    for (int i = 0; i < 25; ++i) {
        cpu.end();
        mem.end();
        std::this_thread::yield();
    }
    a.join();
    b.join();
    cpu.end();
    mem.end();

    std::map<std::string, std::vector<std::string>> lines;
    for (const std::string& name : entries()) {
        ASSERT_EQ(".data", name.substr(name.size() - 5)) << name;
        const std::string text = dir_.read(name);
        ASSERT_FALSE(text.empty()) << name;
        ASSERT_EQ('\n', text.back()) << name;
        std::vector<std::string>& out = lines[name.substr(0, 3)];
        size_t from = 0;
        for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
            out.push_back(text.substr(from, at - from));
    }
    ASSERT_EQ(2u, lines.size());
    for (const char* who : {"cpu", "mem"}) {
        std::vector<std::string> expected;
        for (int i = 0; i < RECORDS; ++i) {
            expected.push_back(std::string("c:") + who + ":" + std::to_string(i));
            expected.push_back(std::string("m:") + who + ":" + std::to_string(i));
        }
        std::vector<std::string>& got = lines[who];
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(expected, got) << who;
    }
}

} // namespace

// A full disk in the middle of a record: the delivered file holds the
// whole records before it and after it, never a part of it.
TEST_F(LogFileTest, AFailedWriteOrLineEndLeavesNoPartOfTheRecord)
{
    LogFile file;
    const std::string first = nextName("cpuLog");
    file.setName(dir_.file("cpuLog"));
    ASSERT_TRUE(file.write("c:1\nm:1"));
    ASSERT_TRUE(file.endLine());
    const std::string big(20000, 'x');
    {
        Testing::FileSizeLimit full(4096);
        // Part of it reaches the disk before the write fails.
        EXPECT_FALSE(file.write("c:2\nm:" + big));
        EXPECT_FALSE(file.endLine());
    }
    {
        Testing::FileSizeLimit full(2048);
        // The write goes into the stream's buffer; the line end's flush fails.
        EXPECT_TRUE(file.write("c:3\nm:" + std::string(3000, 'y')));
        EXPECT_FALSE(file.endLine());
    }
    ASSERT_TRUE(file.write("c:4\nm:4"));
    ASSERT_TRUE(file.endLine());
    file.end();
    const std::string delivered = dir_.read(fileName(first.substr(0, first.size() - 4) + "data"));
    EXPECT_TRUE(delivered == "c:1\nm:1\nc:4\nm:4\n") << delivered.size() << " bytes: " << delivered.substr(0, 40);
}

// The record was never written: acknowledging its line end would lose it.
TEST_F(LogFileTest, LineEndOfARecordThatWasNotWrittenFails)
{
    LogFile file;
    file.setName(dir_.file("missing/cpuLog"));
    EXPECT_FALSE(file.write("c:1\nm:1"));
    EXPECT_FALSE(file.endLine());
}

// A delivery whose finishing line end fails cuts the record off; the
// collector must then not be told that its record landed.
TEST_F(LogFileTest, DeliveryThatCannotFinishTheRecordCutsItOff)
{
    LogFile file;
    const std::string first = nextName("cpuLog");
    file.setName(dir_.file("cpuLog"));
    ASSERT_TRUE(file.write("c:1\nm:1"));
    ASSERT_TRUE(file.endLine());
    const std::string part = "c:2\nm:" + std::string(4000, 'z');
    ASSERT_TRUE(file.write(part));
    {
        Testing::FileSizeLimit full(2048);
        file.end();
    }
    EXPECT_FALSE(file.endLine());
    const std::string delivered = dir_.read(fileName(first.substr(0, first.size() - 4) + "data"));
    EXPECT_TRUE(delivered == "c:1\nm:1\n") << delivered.size() << " bytes: " << delivered.substr(0, 40);
}
