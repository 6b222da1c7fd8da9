#include "common/Exception.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace Telvar;

TEST(ExceptionText, DescriptionsForEachFamily)
{
    EXPECT_EQ("File: File cannot be opened. (Code: 60.5)", FileException(5).describe());
    EXPECT_EQ("Configuration: Error in conf file. (Code: 1.1)", ConfigException(1).describe());
    EXPECT_EQ("Configuration: Out of memory. (Code: 1.0)", ConfigException(0).describe());
    EXPECT_EQ("Exception: Unknown error (Code: 63.7)", Exception(7).describe());
    EXPECT_EQ("File: Unknown error (Code: 60.27)", FileException(27).describe());
    EXPECT_EQ("File: An error occured. (No changes made.) (Code: 60.28)", FileException(28).describe());
    EXPECT_EQ("File: Unknown error (Code: 60.29)", FileException(29).describe());
    EXPECT_EQ("File: Unknown error (Code: 60.-1)", FileException(-1).describe());
    EXPECT_EQ("Time: Illegal input format. (Code: 4.10)", TimeException(10).describe());
    EXPECT_EQ("Time: Unknown error (Code: 4.11)", TimeException(11).describe());
    EXPECT_EQ("IPC: Unable to send message. (Code: 4.5)", IPCException(5).describe());
    EXPECT_EQ("IPC: Out of memory. (Code: 4.7)", IPCException(7).describe());
    EXPECT_EQ("Job: The job was never started. execute() missing or failed (Code: 61.1)",
              JobException(JobException::JB_NEVER_STARTED).describe());
    EXPECT_EQ("Job: Unable to access thread in external process. (Code: 61.8)", JobException(8).describe());
    EXPECT_EQ("Configuration: Unable to decompress buffer. (Code: 1.2)", ConfigException(2).describe());
    EXPECT_EQ("Configuration: Unknown error (Code: 1.3)", ConfigException(3).describe());
}

TEST(ExceptionText, EveryTableCodeHasItsText)
{
    using F = FileException;
    using T = TimeException;
    using I = IPCException;
    using J = JobException;
    using C = ConfigException;
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"File: No exception! (Code: 60.0)", F(F::FL_NONE).describe()},
        {"File: Insufficient memory available. (Code: 60.1)", F(F::FL_MEM).describe()},
        {"File: File does not exist. (Code: 60.2)", F(F::FL_EXISTS_NOT).describe()},
        {"File: File already exists. (Code: 60.3)", F(F::FL_EXISTS).describe()},
        {"File: File is open. (Code: 60.4)", F(F::FL_IS_OPEN).describe()},
        {"File: File cannot be opened. (Code: 60.5)", F(F::FL_CANNOT_OPEN).describe()},
        {"File: File is closed. (Code: 60.6)", F(F::FL_IS_CLOSED).describe()},
        {"File: Unable to close file. (Code: 60.7)", F(F::FL_CANNOT_CLOSE).describe()},
        {"File: Illegal combination of access flaggs. (Code: 60.8)",
         F(F::FL_ACCESS_COMB).describe()},
        {"File: File is not opened for reading. (Code: 60.9)", F(F::FL_CANNOT_READ).describe()},
        {"File: Unable to read. (Code: 60.10)", F(F::FL_READ).describe()},
        {"File: File is not opened for writing. (Code: 60.11)", F(F::FL_CANNOT_WRITE).describe()},
        {"File: Unable to write. (Code: 60.12)", F(F::FL_WRITE).describe()},
        {"File: Unable to flush buffer. (Code: 60.13)", F(F::FL_FLUSH).describe()},
        {"File: End of file. (Code: 60.14)", F(F::FL_EOF).describe()},
        {"File: Illegal position. (Code: 60.15)", F(F::FL_POSITION).describe()},
        {"File: Unable to unlock file. (Code: 60.16)", F(F::FL_CANNOT_UNLOCK).describe()},
        {"File: Unable to lock file. (Code: 60.17)", F(F::FL_CANNOT_LOCK).describe()},
        {"File: Someone else has locked the file. (Code: 60.18)", F(F::FL_IS_LOCKED).describe()},
        {"File: Unable to copy file. (Code: 60.19)", F(F::FL_CANNOT_COPY).describe()},
        {"File: Failed to rename. (Code: 60.20)", F(F::FL_RENAME).describe()},
        {"File: Failed to remove. (Code: 60.21)", F(F::FL_REMOVE).describe()},
        {"File: Failed to create directory. (Code: 60.22)", F(F::FL_CREATE_DIR).describe()},
        {"File: Failed to get current directory. (Code: 60.23)", F(F::FL_GET_DIR).describe()},
        {"File: Not a directory. (Code: 60.24)", F(F::FL_NO_DIR).describe()},
        {"File: Unable to obtain free disk space. (Code: 60.25)", F(F::FL_SPACE).describe()},
        {"File: Unable to access file. (Code: 60.26)", F(F::FL_ACCESS).describe()},
        {"File: An error occured. (No changes made.) (Code: 60.28)", F(F::FL_ERROR).describe()},
        {"Time: No exception! (Code: 4.0)", T(T::TM_NONE).describe()},
        {"Time: Days out of range: (0 - 24,855). (Code: 4.1)", T(T::TM_DAYS).describe()},
        {"Time: Hours out of range: (0-23). (Code: 4.2)", T(T::TM_HOURS).describe()},
        {"Time: Minutes out of range: (0-59). (Code: 4.3)", T(T::TM_MINUTES).describe()},
        {"Time: Seconds out of range: (0-59). (Code: 4.4)", T(T::TM_SECONDS).describe()},
        {"Time: Year out of range: (1970 - 2037). (Code: 4.5)", T(T::TM_YEAR).describe()},
        {"Time: Month out of range: (1 - 12). (Code: 4.6)", T(T::TM_MONTH).describe()},
        {"Time: Day out of range: (1 - days of the month in question). (Code: 4.7)",
         T(T::TM_DAY).describe()},
        {"Time: Illegal date and/or time. (Code: 4.8)", T(T::TM_DATETIME).describe()},
        {"Time: Illegal date/time. Cannot have date before 01.01.1970 0:00:00! (Code: 4.9)",
         T(T::TM_ANCIENT).describe()},
        {"Time: Illegal input format. (Code: 4.10)", T(T::TM_INPUT).describe()},
        {"IPC: No exception! (Code: 4.0)", I(I::IC_NONE).describe()},
        {"IPC: Cannot find message file for IPC. (Code: 4.1)", I(I::IC_NO_MESSAGE_FILE).describe()},
        {"IPC: Unable to create communication channel. (Code: 4.2)",
         I(I::IC_CANNOT_CREATE_COMM).describe()},
        {"IPC: Receiver cannot send. (Code: 4.3)", I(I::IC_NOT_SENDER).describe()},
        {"IPC: Sender cannot receive. (Code: 4.4)", I(I::IC_NOT_RECEIVER).describe()},
        {"IPC: Unable to send message. (Code: 4.5)", I(I::IC_CANNOT_SEND).describe()},
        {"IPC: Unable to receive messages. (Code: 4.6)", I(I::IC_CANNOT_RECEIVE).describe()},
        {"IPC: Out of memory. (Code: 4.7)", I(I::IC_MEM).describe()},
        {"Job: No exception! (Code: 61.0)", J(J::JB_NONE).describe()},
        {"Job: The job was never started. execute() missing or failed (Code: 61.1)",
         J(J::JB_NEVER_STARTED).describe()},
        {"Job: Unable to start the job. Consult OS error code for more details. (Code: 61.2)",
         J(J::JB_UNABLE_TO_START).describe()},
        {"Job: Unable to terminate the job. Consult OS error code for more details. (Code: 61.3)",
         J(J::JB_UNABLE_TO_TERMINATE).describe()},
        {"Job: The job is still running. This is not compatible with this method. (Code: 61.4)",
         J(J::JB_STILL_RUNNING).describe()},
        {"Job: An unknown error occured. Consult OS error code and contact developer. (Code: 61.5)",
         J(J::JB_UNKNOWN_ERROR).describe()},
        {"Job: Out of memory. (Code: 61.6)", J(J::JB_MEM).describe()},
        {"Job: Unable to access external process. (Code: 61.7)", J(J::JB_PROCESS).describe()},
        {"Job: Unable to access thread in external process. (Code: 61.8)",
         J(J::JB_THREAD).describe()},
        {"Configuration: Out of memory. (Code: 1.0)", C(C::CF_MEM).describe()},
        {"Configuration: Error in conf file. (Code: 1.1)", C(C::CF_CONF).describe()},
        {"Configuration: Unable to decompress buffer. (Code: 1.2)",
         C(C::CF_CANNOT_UNCOMPRESS).describe()},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.first, row.second);
}

TEST(ExceptionText, CodeTextJoinsFamilyAndCode)
{
    EXPECT_EQ("4.10", TimeException(10).codeText());
    EXPECT_EQ("4.5", IPCException(5).codeText());
    EXPECT_EQ("60.5", FileException(5).codeText());
    EXPECT_EQ("61.0", JobException(0).codeText());
    EXPECT_EQ("63.0", Exception(0).codeText());
}

TEST(ExceptionText, FullTextWithMessageAndTrace)
{
    FileException plain(FileException::FL_EOF);
    EXPECT_EQ(plain.describe(), plain.fullText());

    ConfigException e(ConfigException::CF_CONF, "", "shared/library/common/ConfReader.cpp", 234);
    e.addTrace("shared\\library\\common\\ConfReader.cpp", 111);
    EXPECT_EQ("Configuration: Error in conf file. (Code: 1.1)\r\n  >  ConfReader(234) - ConfReader(111)",
              e.fullText());

    FileException m(FileException::FL_CANNOT_OPEN, "data.make", "a/FilePlain.cpp", 10);
    m.addTrace("LogFile", 20);
    m.addTrace("x/y/Agent.h", 30);
    EXPECT_EQ("File: File cannot be opened. (Code: 60.5)\r\n  >  (data.make)\r\n"
              "  >  FilePlain(10) - LogFile(20) - Agent(30)",
              m.fullText());

    Exception messageOnly(3, "detail", "", 5);
    EXPECT_EQ("Exception: Unknown error (Code: 63.3)\r\n  >  (detail)", messageOnly.fullText());
}

TEST(ExceptionTrace, ModuleNameFromPath)
{
    Exception e(1);
    e.addTrace("src/common/DateTime.cpp", 12);
    e.addTrace("Ravlon", 7);
    e.addTrace("", 9);
    e.addTrace(static_cast<const char*>(nullptr), 9);
    e.addTrace("dir.d/archive.tar.gz", 3);
    e.addTrace("trailing/", 4);
    ASSERT_EQ(4u, e.trace().size());
    EXPECT_EQ((TraceEntry{"DateTime", 12}), e.trace()[0]);
    EXPECT_EQ((TraceEntry{"Ravlon", 7}), e.trace()[1]);
    EXPECT_EQ((TraceEntry{"archive.tar", 3}), e.trace()[2]);
    EXPECT_EQ((TraceEntry{"", 4}), e.trace()[3]);
}

TEST(ExceptionFamily, CatchSitesSelectFamilyAndKeepTrace)
{
    try {
        try {
            throw IPCException(IPCException::IC_CANNOT_SEND, "slot", TELVAR_HERE);
        } catch (Exception& inner) {
            inner.addTrace("IPCClient", 42);
            throw;
        }
    } catch (FileException&) {
        FAIL() << "wrong family caught";
    } catch (IPCException& e) {
        EXPECT_EQ(IPCException::IC_CANNOT_SEND, e.code());
        ASSERT_EQ(2u, e.trace().size());
        EXPECT_EQ("ExceptionTest", e.trace()[0].module);
        EXPECT_EQ((TraceEntry{"IPCClient", 42}), e.trace()[1]);
        EXPECT_EQ(4, e.familyNumber());
    }

    // Copies keep the whole trace and the family behaviour through the base.
    TimeException t(TimeException::TM_YEAR, "1969", "DateTime.cpp", 1);
    Exception& base = t;
    TimeException copy(t);
    copy.addTrace("Other.cpp", 2);
    EXPECT_EQ("Time: Year out of range: (1970 - 2037). (Code: 4.5)", base.describe());
    EXPECT_EQ(1u, t.trace().size());
    EXPECT_EQ(2u, copy.trace().size());
}
