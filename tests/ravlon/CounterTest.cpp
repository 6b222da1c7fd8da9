// The counter module and the counter-name localisation, driven through the
// scripted fake provider with German current-language names.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "ravlon/Counter.h"
#include "ravlon/CounterNames.h"
#include "support/FakePerfData.h"
#include "support/MemorySink.h"

using namespace Telvar;
using namespace Telvar::Platform;
using Telvar::Test::FakePerfData;

namespace {

class CounterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setDebugLevel(5);
        setSeverityThreshold(0);
        SmartPointer<LoggerCentre> centre = MemorySink::makeCentre(sink_);
        setCounterLogger(SmartPointer<LoggerUnit>(new LoggerUnit(centre, MODULE_RAVLON)));
        sink_->clear();
        clearRegistry();
        degradePdhWarnings = false;
        fake_.addGermanNames();
        fake_.install();
        pdhQuery = 0x42;
    }

    void TearDown() override
    {
        clearRegistry();
        setCounterLogger(SmartPointer<LoggerUnit>());
        degradePdhWarnings = false;
        pdhQuery = PDH_NULL_HANDLE;
    }

    SmartPointer<Counter> make(const std::string& object, const std::string& counter)
    {
        SmartPointer<Counter> c(new Counter(object, counter));
        EXPECT_TRUE(registerCounter(c));
        return c;
    }

    // A counter in the query under path, with the given format.
    SmartPointer<Counter> inQuery(const std::string& path)
    {
        size_t split = path.rfind('\\');
        SmartPointer<Counter> c = make(path.substr(1, split - 1), path.substr(split + 1));
        c->localizedPath = path;
        fake_.acceptPath(path);
        return c;
    }

    std::vector<std::string> texts() const { return sink_->texts(); }
    bool logged(const std::string& text) const
    {
        std::vector<std::string> t = texts();
        return std::find(t.begin(), t.end(), text) != t.end();
    }
    // Lines of a numbered message of the module (application 8, module 9).
    std::vector<std::string> messages(int id) const
    {
        char tag[32];
        std::snprintf(tag, sizeof tag, "(8.09.%02d)", id);
        std::vector<std::string> found;
        for (const std::string& line : sink_->lines())
            if (line.find(tag) != std::string::npos)
                found.push_back(line.substr(line.find(": ") + 2));
        return found;
    }

    SmartPointer<MemorySink> sink_;
    FakePerfData fake_;
};

FakePerfData::Value value(PdhStatus status, PdhStatus cStatus, double d, int64_t l = 0)
{
    FakePerfData::Value v;
    v.status = status;
    v.cStatus = cStatus;
    v.doubleValue = d;
    v.largeValue = l;
    return v;
}

} // namespace

TEST_F(CounterTest, ConstructionAndRegistry)
{
    SmartPointer<Counter> first(new Counter("Processor(_Total)", "% Processor Time"));
    EXPECT_EQ("\\Processor(_Total)\\% Processor Time", first->counterPath);
    EXPECT_EQ("", first->localizedPath);
    EXPECT_FALSE(isValid(*first));
    EXPECT_FALSE(hasData(*first));
    EXPECT_EQ(0u, first->sampleCount);
    EXPECT_EQ(0u, first->format);

    EXPECT_TRUE(registerCounter(first));
    EXPECT_EQ((std::vector<std::string>{"Added counter \"\\Processor(_Total)\\% Processor Time\"."}), texts());
    sink_->clear();
    SmartPointer<Counter> second(new Counter("Processor(_Total)", "% Processor Time"));
    EXPECT_FALSE(registerCounter(second));
    EXPECT_TRUE(texts().empty());
    EXPECT_FALSE(registerCounter(SmartPointer<Counter>()));
    make("Memory", "Available Bytes");

    EXPECT_TRUE(findCounter("\\Processor(_Total)\\% Processor Time").equals(first));
    EXPECT_EQ(2u, counterRegistry().counters.size());
    EXPECT_EQ(1u, counterRegistry().positions.at("\\Memory\\Available Bytes"));
    EXPECT_TRUE(findCounter("\\Memory\\Nothing").isNull());
    clearRegistry();
    EXPECT_TRUE(findCounter("\\Processor(_Total)\\% Processor Time").isNull());
    EXPECT_TRUE(counterRegistry().counters.empty());
    EXPECT_FALSE(first.isNull());  // the caller's reference lives on
}

TEST_F(CounterTest, LocalizesIntoTheCurrentLanguage)
{
    SmartPointer<Counter> cpu = make("Processor(_Total)", "% Processor Time");
    SmartPointer<Counter> mem = make("Memory", "Available Bytes");
    SmartPointer<Counter> nested = make("Process(a(b))", "% Processor Time");
    SmartPointer<Counter> disk = make("PhysicalDisk(0 C:)", "Disk Read Bytes/sec");
    sink_->clear();
    ASSERT_TRUE(localizeCounters());
    EXPECT_EQ("\\Prozessor(_Total)\\Prozessorzeit (%)", cpu->localizedPath);
    EXPECT_EQ("\\Speicher\\Verf\xc3\xbcgbare Bytes", mem->localizedPath);
    EXPECT_EQ("\\Prozess(a(b))\\Prozessorzeit (%)", nested->localizedPath);
    EXPECT_EQ("\\Physikalischer Datentr\xc3\xa4ger(0 C:)\\Bytes gelesen/s", disk->localizedPath);
    std::vector<std::string> t = texts();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ("Getting registered counters...", t[0]);
    EXPECT_EQ("    Got 'em.", t[1]);
    EXPECT_EQ("Mapping counters...", t[2]);
    EXPECT_TRUE(logged("   Mapped \"Processor\" to index 238."));
    EXPECT_TRUE(logged("Mapping 4 counter names to current language..."));
    EXPECT_TRUE(logged("   Mapped object \"Memory\" to \"Speicher\"."));
    EXPECT_TRUE(logged("   Mapped counter \"Available Bytes\" to \"Verf\xc3\xbcgbare Bytes\"."));
    EXPECT_TRUE(messages(18).empty());
}

TEST_F(CounterTest, UnmappedNamesKeepAnEmptyPath)
{
    SmartPointer<Counter> a = make("Prozessor(_Total)", "% Processor Time");
    SmartPointer<Counter> b = make("Prozessor(0)", "% Processor Time");
    // Names match without regard to case, as the system's look-up does.
    SmartPointer<Counter> lower = make("processor(_Total)", "% processor time");
    SmartPointer<Counter> noCounter = make("Memory", "Nonsense");
    ASSERT_TRUE(localizeCounters());
    EXPECT_EQ("", a->localizedPath);
    EXPECT_EQ("", b->localizedPath);
    EXPECT_EQ("\\Prozessor(_Total)\\Prozessorzeit (%)", lower->localizedPath);
    EXPECT_EQ("", noCounter->localizedPath);
    std::vector<std::string> t = texts();
    EXPECT_EQ(2, std::count(t.begin(), t.end(),
                            "   ERROR: Unable to find mapping for object \"Prozessor\". Ignoring it."));
    EXPECT_TRUE(logged("   ERROR: Unable to find mapping for counter \"Nonsense\". Ignoring it."));
}

TEST_F(CounterTest, LookupFailuresSkipTheCounter)
{
    fake_.addName(500, "Broken", "Kaputt");
    fake_.addName(502, "Refused", "Abgelehnt");
    fake_.failLookup(500, PDH_CSTATUS_NO_MACHINE);
    fake_.failLookup(502, PDH_INVALID_ARGUMENT);
    SmartPointer<Counter> objectFails = make("Broken", "Available Bytes");
    SmartPointer<Counter> counterFails = make("Memory", "Broken");
    SmartPointer<Counter> refused = make("Memory", "Refused");
    SmartPointer<Counter> fine = make("Memory", "Committed Bytes");
    ASSERT_TRUE(localizeCounters());
    EXPECT_EQ("", objectFails->localizedPath);
    EXPECT_EQ("", counterFails->localizedPath);
    EXPECT_EQ("", refused->localizedPath);
    EXPECT_EQ("\\Speicher\\Zugesicherte verwendete Bytes", fine->localizedPath);
    std::vector<std::string> m18 = messages(18);
    ASSERT_EQ(2u, m18.size());
    EXPECT_NE(std::string::npos, m18[0].find("\\Broken\\Available Bytes"));
    EXPECT_NE(std::string::npos, m18[1].find("\\Memory\\Broken"));
    std::vector<std::string> m17 = messages(17);
    ASSERT_EQ(1u, m17.size());
    EXPECT_NE(std::string::npos, m17[0].find("Counter name Refused could not be translated: bad Argument."));
    EXPECT_TRUE(logged("mapCountersCurrentLanguage error. (No machine (PDH_CSTATUS_NO_MACHINE)) Unable to add "
                       "\"\\Memory\\Broken\"."));
    bool objectLine = false;
    for (const std::string& s : texts())
        objectLine = objectLine || s.find("mapCountersCurrentLanguage error. (No machine (PDH_CSTATUS_NO_MACHINE)) "
                                          "Unable to add \"\\Broken\\Available Bytes\" to machine \"") == 0;
    EXPECT_TRUE(objectLine);
}

TEST_F(CounterTest, LookupBufferGrowsInStepsOfAHundred)
{
    const std::string longObject(450, 'O');
    const std::string longCounter(250, 'C');
    fake_.addName(600, "Long", longObject);
    fake_.addName(602, "Longer", longCounter);
    SmartPointer<Counter> c = make("Long", "Longer");
    SmartPointer<Counter> d = make("Memory", "Available Bytes");
    ASSERT_TRUE(localizeCounters());
    EXPECT_EQ("\\" + longObject + "\\" + longCounter, c->localizedPath);
    EXPECT_EQ("\\Speicher\\Verf\xc3\xbcgbare Bytes", d->localizedPath);
    // object: 200 (+1) until 500 (+1); counter from 200 again; the next
    // object goes on from the size the counter lookup left.
    EXPECT_EQ((std::vector<uint32_t>{201, 301, 401, 501, 200, 300, 301, 200}), fake_.lookupSizes);
}

TEST_F(CounterTest, EnglishTableGrowsAndFails)
{
    for (uint32_t i = 0; i < 40; ++i)
        fake_.addName(1000 + 2 * i, "Name number " + std::to_string(i), "Name " + std::to_string(i));
    std::string table;
    ASSERT_TRUE(readEnglishNames(table));
    EXPECT_EQ(fake_.englishTableBytes(), table);
    ASSERT_EQ(2u, fake_.tableSizes.size());
    EXPECT_EQ(256u, fake_.tableSizes[0]);
    EXPECT_EQ(table.size(), fake_.tableSizes[1]);

    sink_->clear();
    fake_.failEnglishTable(PERF_ERROR_ACCESS_DENIED);
    make("Memory", "Available Bytes");
    EXPECT_FALSE(localizeCounters());
    std::vector<std::string> m16 = messages(16);
    ASSERT_EQ(1u, m16.size());
    EXPECT_EQ(0u, m16[0].find("Cannot read the English counter names: fake error 5"));
    bool fatalLine = false;
    for (const std::string& line : sink_->lines())
        fatalLine = fatalLine || (line.find("(8.09.16)") != std::string::npos && line.compare(0, 6, "FATAL ") == 0);
    EXPECT_TRUE(fatalLine);
    EXPECT_EQ("", findCounter("\\Memory\\Available Bytes")->localizedPath);
}

TEST_F(CounterTest, NameIndexKeepsTheFirstNumber)
{
    const char raw[] = "2\0System\0" "4\0Memory\0" "6\0System\0" "x\0Zero\0" "12abc\0Twelve\0\0" "8\0After";
    std::string table(raw, sizeof raw);
    EnglishNameIndex index;
    EXPECT_TRUE(buildEnglishNameIndex(table, index));
    EXPECT_EQ((EnglishNameIndex{{"System", 2}, {"Memory", 4}, {"Zero", 0}, {"Twelve", 12}}), index);
    EXPECT_TRUE(logged("   Mapped \"System\" to index 2."));
    EXPECT_TRUE(logged("   Mapped \"Twelve\" to index 12."));
    std::vector<std::string> t = texts();
    EXPECT_EQ(1, std::count(t.begin(), t.end(), "   Mapped \"System\" to index 2."));
    EXPECT_EQ(0, std::count(t.begin(), t.end(), "   Mapped \"System\" to index 6."));
}

TEST_F(CounterTest, AddingToTheQuery)
{
    SmartPointer<Counter> unmapped = make("Nowhere", "Nothing");
    SmartPointer<Counter> percent = inQuery("\\Prozessor(_Total)\\Prozessorzeit (%)");
    SmartPointer<Counter> bytes = inQuery("\\Speicher\\Verf\xc3\xbcgbare Bytes");
    SmartPointer<Counter> percentInstance = inQuery("\\LogicalDisk(50%)\\Free Megabytes");
    SmartPointer<Counter> rejected = make("Speicher", "Weg");
    rejected->localizedPath = "\\Speicher\\Weg";
    fake_.rejectPath("\\Speicher\\Weg", PDH_CSTATUS_NO_COUNTER);
    SmartPointer<Counter> badHandle = make("Speicher", "Kaputt");
    badHandle->localizedPath = "\\Speicher\\Kaputt";
    fake_.rejectPath("\\Speicher\\Kaputt", 0);  // success with the bad handle value
    sink_->clear();

    EXPECT_TRUE(addCountersToQuery());
    EXPECT_FALSE(isValid(*unmapped));
    EXPECT_TRUE(isValid(*percent));
    EXPECT_EQ(PDH_FMT_DOUBLE, percent->format);
    EXPECT_TRUE(isValid(*bytes));
    EXPECT_EQ(PDH_FMT_LARGE, bytes->format);
    EXPECT_EQ(PDH_FMT_DOUBLE, percentInstance->format);
    EXPECT_FALSE(isValid(*rejected));
    EXPECT_FALSE(isValid(*badHandle));
    EXPECT_EQ((std::vector<std::string>{
                  "   No valid mapping for object \"Nowhere\", counter \"Nothing\".",
                  "      Added counter \"\\Prozessor(_Total)\\Prozessorzeit (%)\".",
                  "      Added counter \"\\Speicher\\Verf\xc3\xbcgbare Bytes\".",
                  "      Added counter \"\\LogicalDisk(50%)\\Free Megabytes\".",
                  "Counter \\Speicher\\Weg cannot be added; it is not collected.",
                  "PdhAddCounter error. (No counter (PDH_CSTATUS_NO_COUNTER)) Unable to add \"\\Speicher\\Weg\".",
                  "Counter \\Speicher\\Kaputt cannot be added; it is not collected.",
                  "PdhAddCounter error. (PDH_CSTATUS_VALID_DATA) Unable to add \"\\Speicher\\Kaputt\".",
                  "   Done.",
              }),
              texts());
    EXPECT_EQ(2u, messages(18).size());
}

TEST_F(CounterTest, FractionCounterTypesAreReadAsDoublesAndKeepTheirFraction)
{
    SmartPointer<Counter> avg = inQuery("\\PhysicalDisk(_Total)\\Avg. Disk sec/Write");
    SmartPointer<Counter> queue = inQuery("\\PhysicalDisk(_Total)\\Avg. Disk Queue Length");
    SmartPointer<Counter> count = inQuery("\\PhysicalDisk(_Total)\\Current Disk Queue Length");
    SmartPointer<Counter> rate = inQuery("\\PhysicalDisk(_Total)\\Disk Reads/sec");
    SmartPointer<Counter> unknown = inQuery("\\PhysicalDisk(_Total)\\Avg. Disk sec/Read");
    fake_.setCounterType(avg->localizedPath, PERF_AVERAGE_TIMER);
    fake_.setCounterType(queue->localizedPath, PERF_COUNTER_100NS_QUEUELEN_TYPE);
    fake_.setCounterType(count->localizedPath, PERF_COUNTER_RAWCOUNT);
    fake_.failCounterType(unknown->localizedPath, PDH_INVALID_HANDLE);
    ASSERT_TRUE(addCountersToQuery());
    EXPECT_EQ(PDH_FMT_DOUBLE, avg->format);
    EXPECT_EQ(PDH_FMT_DOUBLE, queue->format);
    EXPECT_EQ(PDH_FMT_LARGE, count->format);
    EXPECT_EQ(PDH_FMT_LARGE, rate->format);     // the fake's default type is a rate of counts
    EXPECT_EQ(PDH_FMT_LARGE, unknown->format);  // no type: the path decides

    fake_.queueValue(avg->localizedPath, value(0, PDH_CSTATUS_VALID_DATA, 0.04, 0));
    fake_.queueValue(queue->localizedPath, value(0, PDH_CSTATUS_VALID_DATA, 0.06, 0));
    ASSERT_TRUE(registerCounterData(false));
    EXPECT_EQ("0.04", valueText(*avg));
    EXPECT_EQ("0.06", valueText(*queue));
}

TEST_F(CounterTest, SamplingAddsValidValues)
{
    SmartPointer<Counter> d = inQuery("\\Prozessor(_Total)\\Prozessorzeit (%)");
    SmartPointer<Counter> l = inQuery("\\Speicher\\Verf\xc3\xbcgbare Bytes");
    SmartPointer<Counter> off = make("Nowhere", "Nothing");
    addCountersToQuery();
    fake_.queueValue(d->localizedPath, value(0, PDH_CSTATUS_VALID_DATA, 2.0));
    fake_.queueValue(d->localizedPath, value(0, PDH_CSTATUS_NEW_DATA, 3.0));
    fake_.queueValue(l->localizedPath, value(0, PDH_CSTATUS_VALID_DATA, 99.0, 1000));
    fake_.queueValue(l->localizedPath, value(0, PDH_CSTATUS_NEW_DATA, 99.0, 2001));
    sink_->clear();
    EXPECT_TRUE(registerCounterData(false));
    EXPECT_TRUE(registerCounterData(false));
    EXPECT_TRUE(texts().empty());
    EXPECT_DOUBLE_EQ(5.0, d->realSum);
    EXPECT_EQ(0, d->integerSum);
    EXPECT_EQ(2u, d->sampleCount);
    EXPECT_TRUE(hasData(*d));
    EXPECT_EQ("2.5", valueText(*d));
    EXPECT_EQ(3001, l->integerSum);
    EXPECT_DOUBLE_EQ(0.0, l->realSum);
    EXPECT_EQ("1500", valueText(*l));
    EXPECT_EQ((std::vector<uint32_t>{PDH_FMT_DOUBLE, PDH_FMT_LARGE, PDH_FMT_DOUBLE, PDH_FMT_LARGE}),
              fake_.formatsAsked);  // the counter without handle is never read
    EXPECT_EQ(0u, off->sampleCount);

    // reset: the sums start again from the next value
    EXPECT_TRUE(registerCounterData(true));
    EXPECT_EQ(1u, d->sampleCount);
    EXPECT_DOUBLE_EQ(3.0, d->realSum);
}

TEST_F(CounterTest, FailingCallsResetAndWarn)
{
    SmartPointer<Counter> c = inQuery("\\Speicher\\Verf\xc3\xbcgbare Bytes");
    addCountersToQuery();
    const std::string path = c->localizedPath;
    struct Case {
        PdhStatus status;
        bool warns;
        std::string text;
    };
    const Case cases[] = {
        {PDH_INVALID_DATA, true, "No valid data (PDH_INVALID_DATA)"},
        {PDH_INVALID_HANDLE, true, "Invalid handle (PDH_INVALID_HANDLE)"},
        {PDH_INVALID_ARGUMENT, true, "Invalid argument (PDH_INVALID_ARGUMENT)"},
        {PDH_CSTATUS_NO_OBJECT, false, "No object (PDH_CSTATUS_NO_OBJECT)"},
        {PDH_NO_DATA, false, "PDH_NO_DATA"},
    };
    for (bool degrade : {false, true}) {
        degradePdhWarnings = degrade;
        for (const Case& k : cases) {
            fake_.clearValues(path);
            c->integerSum = 70;
            c->sampleCount = 7;
            c->hasData = true;
            c->reportedFailure = 0;
            c->failedInARow = 2;  // this sample makes it a failure that lasts
            fake_.queueValue(path, value(k.status, PDH_CSTATUS_INVALID_DATA, 0, 5));
            sink_->clear();
            EXPECT_TRUE(registerCounterData(false));
            EXPECT_EQ(0, c->integerSum) << k.text;
            EXPECT_EQ(0u, c->sampleCount) << k.text;
            EXPECT_FALSE(hasData(*c)) << k.text;
            std::vector<std::string> expected;
            if (k.warns && degrade)
                expected.push_back("PdhCollectQueryData error! (" + k.text + ".)");
            if (k.warns && !degrade)
                expected.push_back("Performance data could not be read: " + k.text + " (" + path + ").");
            expected.push_back("registerCounterData: Error \"" + k.text + "\", getting value for \"" + path +
                               "\". Resetting.");
            EXPECT_EQ(expected, texts());
            EXPECT_EQ(k.warns && !degrade ? 1u : 0u, messages(9).size()) << k.text;
        }
    }
}

// A counter the host lacks (a hot-plugged disk, an interface to come) says
// so once, not every second, and once when it gives values.
TEST_F(CounterTest, AFailureIsSaidOnceAndItsEndOnce)
{
    SmartPointer<Counter> c = inQuery("\\Speicher\\Verf\xc3\xbcgbare Bytes");
    addCountersToQuery();
    const std::string path = c->localizedPath;
    for (int i = 0; i < 120; ++i)
        fake_.queueValue(path, value(PDH_INVALID_DATA, PDH_CSTATUS_NO_INSTANCE, 0, 0));
    fake_.queueValue(path, value(0, PDH_CSTATUS_VALID_DATA, 0, 10));
    for (int i = 0; i < 120; ++i)
        fake_.queueValue(path, value(PDH_INVALID_DATA, PDH_CSTATUS_INVALID_DATA, 0, 0));
    sink_->clear();
    for (int i = 0; i < 120; ++i)
        registerCounterData(false);
    EXPECT_TRUE(texts().empty());  // the configuration check named it
    registerCounterData(false);
    EXPECT_EQ(std::vector<std::string>{"Counter " + path + " gives values now."}, texts());
    sink_->clear();
    for (int i = 0; i < 120; ++i)
        registerCounterData(false);
    EXPECT_EQ(1u, messages(9).size());
    EXPECT_EQ(1u, texts().size() - messages(9).size());  // and its debug line
}

TEST_F(CounterTest, InvalidValueStatusKeepsTheSums)
{
    SmartPointer<Counter> c = inQuery("\\Speicher\\Verf\xc3\xbcgbare Bytes");
    addCountersToQuery();
    const std::string path = c->localizedPath;
    fake_.queueValue(path, value(0, PDH_CSTATUS_VALID_DATA, 0, 10));
    for (int i = 0; i < 3; ++i)
        fake_.queueValue(path, value(0, PDH_CSTATUS_INVALID_DATA, 0, 999));
    fake_.queueValue(path, value(0, PDH_CSTATUS_NO_INSTANCE, 0, 999));
    fake_.queueValue(path, value(0, PDH_CSTATUS_VALID_DATA, 0, 30));
    registerCounterData(false);
    sink_->clear();
    // No valid data for a sample or two is no failure; for three it is.
    registerCounterData(false);
    registerCounterData(false);
    EXPECT_TRUE(texts().empty());
    registerCounterData(false);
    EXPECT_FALSE(hasData(*c));
    EXPECT_EQ(10, c->integerSum);
    EXPECT_EQ(1u, c->sampleCount);
    EXPECT_EQ((std::vector<std::string>{"The counter \"" + path + "\" does not have valid data.",
                                        "Counter " + path + " has no valid data."}),
              texts());
    EXPECT_EQ(1u, messages(10).size());
    sink_->clear();
    registerCounterData(false);  // another status: quiet
    EXPECT_FALSE(hasData(*c));
    EXPECT_TRUE(texts().empty());
    registerCounterData(false);
    EXPECT_TRUE(hasData(*c));
    EXPECT_EQ(40, c->integerSum);
    EXPECT_EQ(2u, c->sampleCount);
    EXPECT_EQ("20", valueText(*c));

    degradePdhWarnings = true;
    for (int i = 0; i < 3; ++i)
        fake_.queueValue(path, value(0, PDH_CSTATUS_INVALID_DATA, 0, 0));
    registerCounterData(false);  // consumes the 30
    sink_->clear();
    for (int i = 0; i < 3; ++i)
        registerCounterData(false);
    EXPECT_EQ((std::vector<std::string>{"The counter \"" + path + "\" does not have valid data."}), texts());
}

TEST_F(CounterTest, ValueTexts)
{
    Counter c("Processor(_Total)", "% Processor Time");
    c.format = PDH_FMT_DOUBLE;
    auto averageOf = [&](double sum, uint32_t count) {
        c.realSum = sum;
        c.sampleCount = count;
        c.hasData = true;
        return valueText(c);
    };
    EXPECT_EQ("2.5", averageOf(5.0, 2));
    EXPECT_EQ("7", averageOf(14.0, 2));
    EXPECT_EQ("10.1", averageOf(20.2, 2));
    EXPECT_EQ("0", averageOf(0.0, 3));
    EXPECT_EQ("100", averageOf(100.0, 1));
    EXPECT_EQ("12.5", averageOf(12.5, 1));
    EXPECT_EQ("0.33", averageOf(1.0, 3));
    EXPECT_EQ("-1.25", averageOf(-2.5, 2));
    c.hasData = false;
    EXPECT_EQ("0", valueText(c));
    c.hasData = true;
    c.sampleCount = 0;  // no values: no division
    EXPECT_EQ("0", valueText(c));

    c.format = PDH_FMT_LARGE;
    c.integerSum = -7;
    c.sampleCount = 2;
    EXPECT_EQ("-3", valueText(c));
    c.integerSum = 9000000000000000000LL;
    c.sampleCount = 3;
    EXPECT_EQ("3000000000000000000", valueText(c));
    c.hasData = false;
    EXPECT_EQ("0", valueText(c));

    sink_->clear();
    c.format = 0;
    c.localizedPath = "\\X\\Y";
    EXPECT_EQ("0", valueText(c));
    EXPECT_EQ((std::vector<std::string>{"Unknown value format for counter \"\\X\\Y\"."}), texts());
}

TEST_F(CounterTest, StatusTextsOfAllCodes)
{
    std::vector<PdhStatus> codes = {0, 1, 0x80000BD5, 0x80000BF3};
    for (PdhStatus s = 0x800007D0; s <= 0x800007DC; ++s)
        codes.push_back(s);
    for (PdhStatus s = 0xC0000BB8; s <= 0xC0000BF6; ++s)
        if (s != 0xC0000BD5 && s != 0xC0000BF3)
            codes.push_back(s);
    ASSERT_EQ(78u, codes.size());
    const std::vector<std::pair<PdhStatus, std::string>> described = {
        {0x800007D0, "No machine (PDH_CSTATUS_NO_MACHINE)"},
        {0x800007D8, "A counter with a negative value was detected (PDH_CALC_NEGATIVE_VALUE)"},
        {0xC0000BB8, "No object (PDH_CSTATUS_NO_OBJECT)"},
        {0xC0000BB9, "No counter (PDH_CSTATUS_NO_COUNTER)"},
        {0xC0000BBB, "Memory allocation failure (PDH_MEMORY_ALLOCATION_FAILURE)"},
        {0xC0000BBC, "Invalid handle (PDH_INVALID_HANDLE)"},
        {0xC0000BBD, "Invalid argument (PDH_INVALID_ARGUMENT)"},
        {0xC0000BBE, "Function not found (PDH_FUNCTION_NOT_FOUND)"},
        {0xC0000BBF, "No counter name (PDH_CSTATUS_NO_COUNTERNAME)"},
        {0xC0000BC0, "Bad counter name (PDH_CSTATUS_BAD_COUNTERNAME)"},
        {0xC0000BC6, "No valid data (PDH_INVALID_DATA)"},
    };
    std::vector<std::string> names;
    for (PdhStatus s : codes) {
        std::string name = pdhStatusName(s);
        EXPECT_EQ(0u, name.find("PDH_")) << std::hex << s;
        names.push_back(name);
        std::string text = pdhStatusText(s);
        auto d = std::find_if(described.begin(), described.end(), [&](const auto& p) { return p.first == s; });
        if (d != described.end()) {
            EXPECT_EQ(d->second, text);
            EXPECT_NE(std::string::npos, text.find("(" + name + ")"));
        } else {
            EXPECT_EQ(name, text);
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
    EXPECT_EQ("PDH_NO_DATA", pdhStatusName(PDH_NO_DATA));
    EXPECT_EQ("PDH_CSTATUS_BAD_COUNTERNAME", pdhStatusName(0xC0000BC0));
    EXPECT_EQ("PDH_UNABLE_MAP_NAME_FILES", pdhStatusName(0x80000BD5));
    EXPECT_EQ("PDH_PLA_VALIDATION_WARNING", pdhStatusName(0x80000BF3));
    EXPECT_EQ("PDH_COUNTER_ALREADY_IN_QUERY", pdhStatusText(0xC0000BF6));

    // The last error reads as its Win32 number (access denied is 5, not 13).
    errno = EACCES;
    EXPECT_EQ("UNKNOWN (Status=-1073738795{C0000BD5}  LastError=5)", pdhStatusText(0xC0000BD5));
    errno = 0;
    EXPECT_EQ("UNKNOWN (Status=-1073738761{C0000BF7}  LastError=0)", pdhStatusName(0xC0000BF7));
    EXPECT_EQ("UNKNOWN (Status=2{2}  LastError=0)", pdhStatusText(2));
    EXPECT_EQ("UNKNOWN (Status=-2147481635{800007DD}  LastError=0)", pdhStatusText(0x800007DD));
}
