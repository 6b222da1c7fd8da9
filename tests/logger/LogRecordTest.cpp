#include <gtest/gtest.h>

#include <string>

#include "logger/LogRecord.h"

using namespace Telvar;

namespace {

LogRecord sampleMessage()
{
    LogRecord r;
    r.kind = LogRecord::KIND_MESSAGE;
    r.applicationId = 8;
    r.moduleId = 9;
    r.time = DateTime(int64_t(1299215167));
    r.timeMode = 2;
    r.severity = 3;
    r.messageId = 14;
    r.text = std::string("sabc\x1An5\x1A");
    r.threadId = 4000000000u;
    return r;
}

LogRecord sampleDebug()
{
    LogRecord r;
    r.kind = LogRecord::KIND_DEBUG;
    r.applicationId = 1;
    r.moduleId = 21;
    r.time = DateTime(int64_t(86400));
    r.debugLevel = 4;
    r.text = "Checking threads.";
    r.threadId = 77;
    return r;
}

void expectSame(const LogRecord& a, const LogRecord& b)
{
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.applicationId, b.applicationId);
    EXPECT_EQ(a.moduleId, b.moduleId);
    EXPECT_EQ(a.time.seconds(), b.time.seconds());
    EXPECT_EQ(a.severity, b.severity);
    EXPECT_EQ(a.debugLevel, b.debugLevel);
    EXPECT_EQ(a.messageId, b.messageId);
    EXPECT_EQ(a.text, b.text);
    EXPECT_EQ(a.threadId, b.threadId);
}

} // namespace

TEST(LogRecordTest, EncodesMessageAndDebugRecords)
{
    EXPECT_EQ(std::string("Telvar\x1CLOG\x1C" "8\x1C" "9\x1C" "1299215167\x1C" "3\x1C"
                          "sabc\x1An5\x1A\x1C" "4000000000\x1C" "14\x1C"),
              encodeRecord(sampleMessage()));
    EXPECT_EQ(std::string("Telvar\x1C" "DEBUG\x1C" "1\x1C" "21\x1C" "86400\x1C" "4\x1C"
                          "Checking threads.\x1C" "77\x1C"),
              encodeRecord(sampleDebug()));
}

TEST(LogRecordTest, RoundTrips)
{
    LogRecord decoded;
    ASSERT_TRUE(decodeRecord(encodeRecord(sampleMessage()), decoded));
    LogRecord expected = sampleMessage();
    expected.debugLevel = 0;
    expectSame(expected, decoded);

    LogRecord debug;
    debug.messageId = 5; // must be reset by decoding
    ASSERT_TRUE(decodeRecord(encodeRecord(sampleDebug()), debug));
    expectSame(sampleDebug(), debug);
    EXPECT_EQ(LogRecord::NO_MESSAGE_ID, debug.messageId);

    LogRecord empty = sampleMessage();
    empty.text.clear();
    empty.moduleId = -1;
    LogRecord back;
    ASSERT_TRUE(decodeRecord(encodeRecord(empty), back));
    EXPECT_EQ("", back.text);
    EXPECT_EQ(-1, back.moduleId);
    EXPECT_EQ(14, back.messageId);
}

TEST(LogRecordTest, TextContainingTheFieldSeparatorSurvives)
{
    LogRecord r = sampleDebug();
    r.text = std::string("a\x1C" "b\x1C");
    LogRecord back;
    ASSERT_TRUE(decodeRecord(encodeRecord(r), back));
    EXPECT_EQ(r.text, back.text);
    EXPECT_EQ(77u, back.threadId);

    LogRecord m = sampleMessage();
    m.text = std::string("s\x1C\x1C\x1A");
    ASSERT_TRUE(decodeRecord(encodeRecord(m), back));
    EXPECT_EQ(m.text, back.text);
    EXPECT_EQ(4000000000u, back.threadId);
    EXPECT_EQ(14, back.messageId);
}

TEST(LogRecordTest, RejectsForeignTexts)
{
    LogRecord r;
    EXPECT_FALSE(decodeRecord("", r));
    EXPECT_FALSE(decodeRecord("Telvar", r));
    EXPECT_FALSE(decodeRecord(std::string("telvar\x1CLOG\x1C"), r));
    EXPECT_FALSE(decodeRecord(std::string("Telvar \x1CLOG\x1C"), r));
    EXPECT_FALSE(decodeRecord(std::string("Telvar\x1Clog\x1C"), r));
    EXPECT_FALSE(decodeRecord(std::string("Telvar\x1C" "DEBUGX\x1C"), r));
    EXPECT_FALSE(decodeRecord(std::string("Telvar\x1C\x1C"), r));
    EXPECT_FALSE(decodeRecord(std::string("XTelvar\x1C" "DEBUG\x1C"), r));
}

TEST(LogRecordTest, LenientNumbersAndMissingFields)
{
    LogRecord r;
    ASSERT_TRUE(decodeRecord(std::string("Telvar\x1CLOG\x1C" "8x\x1C" "\x1C" "99999999999\x1C" "2\x1C" "t"), r));
    EXPECT_EQ(LogRecord::KIND_MESSAGE, r.kind);
    EXPECT_EQ(8, r.applicationId);
    EXPECT_EQ(0, r.moduleId);
    EXPECT_EQ(DateTime::MAX_SECONDS, r.time.seconds());
    EXPECT_EQ(2, r.severity);
    EXPECT_EQ("t", r.text);
    EXPECT_EQ(0u, r.threadId);
    EXPECT_EQ(0, r.messageId);

    ASSERT_TRUE(decodeRecord(std::string("Telvar\x1C" "DEBUG"), r));
    EXPECT_EQ(LogRecord::KIND_DEBUG, r.kind);
    EXPECT_EQ("", r.text);
    EXPECT_EQ(LogRecord::NO_MESSAGE_ID, r.messageId);
}

TEST(LogRecordTest, DebugRecordTextTest)
{
    EXPECT_TRUE(isDebugRecordText(encodeRecord(sampleDebug())));
    EXPECT_FALSE(isDebugRecordText(encodeRecord(sampleMessage())));
    EXPECT_TRUE(isDebugRecordText(std::string("Telvar\x1C" "DEBUG")));
    EXPECT_FALSE(isDebugRecordText(std::string("Telvar\x1C" "DEBU")));
    EXPECT_FALSE(isDebugRecordText(""));
}
