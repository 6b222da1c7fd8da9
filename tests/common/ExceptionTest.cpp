#include "common/Exception.h"

#include <gtest/gtest.h>

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
