#include <gtest/gtest.h>

#include <string>

#include "common/DateTime.h"
#include "logger/LogFormat.h"
#include "logger/LogRecord.h"
#include "logger/ParamStream.h"
#include "platform/Process.h"
#include "support/ScopedTimeZone.h"

using namespace Telvar;

namespace {

// 2011-03-04T05:06:07Z
constexpr int64_t STAMP = 1299215167;

class LogFormatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
    }
    void TearDown() override
    {
    }

    static LogRecord message(int32_t severity, int32_t app, int32_t module, int32_t id, const std::string& text)
    {
        LogRecord r;
        r.kind = LogRecord::KIND_MESSAGE;
        r.applicationId = app;
        r.moduleId = module;
        r.severity = severity;
        r.messageId = id;
        r.time = DateTime(STAMP);
        r.text = text;
        r.threadId = 4711;
        return r;
    }

    static LogRecord debugRecord(int32_t level, int32_t app, int32_t module, const std::string& text)
    {
        LogRecord r;
        r.kind = LogRecord::KIND_DEBUG;
        r.applicationId = app;
        r.moduleId = module;
        r.debugLevel = level;
        r.time = DateTime(STAMP);
        r.text = text;
        r.threadId = 12;
        return r;
    }

    Testing::ScopedTimeZone zone_{"UTC"};
};

std::string params(const ParamStream& p) { return p.str(); }

} // namespace

TEST(ParamStreamTest, EncodesTypeValueAndSeparator)
{
    ParamStream p;
    p << "abc" << 42 << std::string("") << 7u << 123456789012UL << -3;
    EXPECT_EQ(std::string("sabc\x1An42\x1As\x1An7\x1An123456789012\x1An-3\x1A"), p.str());

    // A text that already ends in the separator is not closed again.
    ParamStream q;
    q << std::string("x\x1A") << 1;
    EXPECT_EQ(std::string("sx\x1An1\x1A"), q.str());

    ParamStream nullText;
    nullText << static_cast<const char*>(nullptr);
    EXPECT_EQ(std::string("s\x1A"), nullText.str());
}

TEST(FormatTemplateTest, PlaceholdersMatchingParameters)
{
    EXPECT_EQ("File box has 3 lines.",
              formatTemplate("File %s has %i lines.", params(ParamStream() << "box" << 3)));
    EXPECT_EQ("File box has <\?\?\?> lines.",
              formatTemplate("File %s has %i lines.", params(ParamStream() << "box")));
    EXPECT_EQ("Value 2 and 7", formatTemplate("Value %f and %i", params(ParamStream() << 2 << 7)));
    EXPECT_EQ("no placeholders", formatTemplate("no placeholders", params(ParamStream() << "unused")));
    EXPECT_EQ("", formatTemplate("", ""));
}

TEST(FormatTemplateTest, MismatchedTypesAreWrappedInBackslashes)
{
    EXPECT_EQ("count \\x\\ here", formatTemplate("count %i here", params(ParamStream() << "x")));
    EXPECT_EQ("name \\5\\", formatTemplate("name %s", params(ParamStream() << 5)));
    // An unknown placeholder letter consumes a parameter the same way.
    EXPECT_EQ("a \\q\\ b 9", formatTemplate("a %z b %i", params(ParamStream() << "q" << 9)));
    // "e" and "p" codes only match their own placeholders.
    std::string ep = std::string("e1.5\x1Ap0x10\x1A");
    EXPECT_EQ("1.5 0x10", formatTemplate("%d %p", ep));
    EXPECT_EQ("\\1.5\\ \\0x10\\", formatTemplate("%p %d", ep));
}

TEST(FormatTemplateTest, PercentSignsAndTemplateEnd)
{
    EXPECT_EQ("90% of disk", formatTemplate("%i%% of disk", params(ParamStream() << 90)));
    // A literal percent needs no parameter.
    EXPECT_EQ("100% done", formatTemplate("100%% done", ""));
    // A lone "%" at the end cannot name anything.
    EXPECT_EQ("ends with <\?\?\?>", formatTemplate("ends with %", params(ParamStream() << 1)));
    EXPECT_EQ("<\?\?\?> and <\?\?\?>", formatTemplate("%s and %i", ""));
    // Parameters beyond the placeholders are ignored.
    EXPECT_EQ("one", formatTemplate("%s", params(ParamStream() << "one" << "two")));
}

TEST(FormatTemplateTest, EmptyParameterInTheMiddleHasNoTypeCode)
{
    std::string p = std::string("sa\x1A\x1Asc\x1A");
    EXPECT_EQ("a \\\\ c", formatTemplate("%s %s %s", p));
}

TEST(FormatLogIdTest, PaddingOfModuleAndMessage)
{
    EXPECT_EQ("(8.09.07)", formatLogId(8, 9, 7));
    EXPECT_EQ("(8.02)   ", formatLogId(8, 2, LogRecord::NO_MESSAGE_ID));
    EXPECT_EQ("(1.21.123)", formatLogId(1, 21, 123));
    EXPECT_EQ("(12.00.00)", formatLogId(12, 0, 0));
}

TEST_F(LogFormatTest, MessageLineWithTemplateFound)
{
    EXPECT_EQ("NOTICE   2011-03-04T05:06:07 (8.09.07) 4711: Collector started.",
              formatLine(message(0, 8, 9, 7, "Collector started."), true));
    EXPECT_EQ("CRITICAL 2011-03-04T05:06:07 (8.21.14) 4711: x",
              formatLine(message(3, 8, 21, 14, "x"), true));
    EXPECT_EQ("ERROR    2011-03-04T05:06:07 (1.00.10) 4711: ",
              formatLine(message(2, 1, 0, 10, ""), true));
    // An out-of-range severity has no word: padding only.
    EXPECT_EQ("         2011-03-04T05:06:07 (8.09.07) 4711: t",
              formatLine(message(9, 8, 9, 7, "t"), true));
}

TEST_F(LogFormatTest, MessageLineWithoutTemplate)
{
    std::string p = params(ParamStream() << "abc" << 5);
    EXPECT_EQ("WARNING  2011-03-04T05:06:07 (8.09.07) 4711: (Message not found.) Parameters: abc  5  ",
              formatLine(message(1, 8, 9, 7, p), false));
    EXPECT_EQ("FATAL    2011-03-04T05:06:07 (8.09.07) 4711: (Message not found.)",
              formatLine(message(4, 8, 9, 7, ""), false));
    // 0x1B separates like 0x1A.
    EXPECT_EQ("NOTICE   2011-03-04T05:06:07 (8.09.07) 4711: (Message not found.) Parameters: a  b",
              formatLine(message(0, 8, 9, 7, "sa\x1Bsb"), false));
}

TEST_F(LogFormatTest, DebugLine)
{
    EXPECT_EQ("debug-3  2011-03-04T05:06:07 (8.02)    12: Opened the file.",
              formatLine(debugRecord(3, 8, 2, "Opened the file."), false));
    // A debug text is printed as it is, found or not, %-signs included.
    EXPECT_EQ("debug-1  2011-03-04T05:06:07 (8.21)    12: 50% %s",
              formatLine(debugRecord(1, 8, 21, "50% %s"), true));
}

TEST_F(LogFormatTest, TimeStampIsHostLocalTimeWithoutOffset)
{
    zone_.set("Asia/Kolkata");
    EXPECT_EQ("NOTICE   2011-03-04T10:36:07 (8.09.07) 4711: up",
              formatLine(message(0, 8, 9, 7, "up"), true));
    LogRecord zulu = debugRecord(2, 8, 2, "same stamp");
    zulu.timeMode = 2;
    EXPECT_EQ("debug-2  2011-03-04T10:36:07 (8.02)    12: same stamp", formatLine(zulu, false));
}
