#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "logger/LogCommons.h"
#include "logger/LogMessenger.h"
#include "logger/LogSettings.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "platform/ThreadId.h"
#include "support/ManualClock.h"
#include "support/MemorySink.h"
#include "support/ScopedTimeZone.h"

using namespace Telvar;

namespace {

// 2011-03-04T05:06:07Z
constexpr int64_t STAMP = 1299215167;
const std::string AT = "2011-03-04T05:06:07";

std::string tid() { return std::to_string(Platform::currentThreadId()); }

class LoggerUnitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        centre_ = MemorySink::makeCentre(sink_, APPLICATION_RAVLON);
    }
    void TearDown() override
    {
        setDebugLevel(5);
        setSeverityThreshold(0);
        setTimeMode(TIME_MODE_LOCAL);
        setMessageCatalog(SmartPointer<LogCommons>());
    }

    // A unit whose creation line has been cleared away.
    SmartPointer<LoggerUnit> unit(int32_t module)
    {
        SmartPointer<LoggerUnit> u(new LoggerUnit(centre_, module));
        sink_->clear();
        return u;
    }

    Telvar::Testing::ManualClock clock_{STAMP};
    SmartPointer<MemorySink> sink_;
    SmartPointer<LoggerCentre> centre_;

private:
    Testing::ScopedTimeZone zone_{"UTC"};
};

// Keeps the record texts instead of printing them; can throw on demand.
class RecordingMessenger : public LogMessenger {
public:
    bool deliver(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        texts.push_back(text);
        if (throwIpc)
            throw IPCException(IPCException::IC_CANNOT_SEND, "no slot", TELVAR_HERE);
        if (throwOther)
            throw 42;
        return true;
    }
    std::mutex mutex;
    std::vector<std::string> texts;
    bool throwIpc = false;
    bool throwOther = false;
};

class ThrowingSink : public LoggerAgent {
public:
    std::string location() const override { return "throwing://"; }
    bool write(const std::string& line) override
    {
        if (timeErrors > 0) {
            --timeErrors;
            throw TimeException(TimeException::TM_INPUT, "bad", "x/Sink.cpp", 7);
        }
        if (fileErrors)
            throw FileException(FileException::FL_WRITE, "disk", "x/FilePlain.cpp", 3);
        lines.push_back(line);
        return true;
    }
    int timeErrors = 0;
    bool fileErrors = false;
    std::vector<std::string> lines;
};

} // namespace

TEST_F(LoggerUnitTest, CreationAndDestructionAreLogged)
{
    {
        LoggerUnit u(centre_, MODULE_RAVLON);
        EXPECT_EQ(MODULE_RAVLON, u.moduleId());
    }
    std::vector<std::string> expected = {
        "debug-1  " + AT + " (8.09)    " + tid() + ": LoggerUnit: Created logger for the Ravlon module.",
        "debug-1  " + AT + " (8.09)    " + tid() + ": LoggerUnit: Destroyed logger for the Ravlon module.",
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(LoggerUnitTest, DebugLevelFilters)
{
    SmartPointer<LoggerUnit> u = unit(MODULE_LOGGER);
    setDebugLevel(3);
    EXPECT_TRUE(u->debug(4, "too detailed"));
    EXPECT_TRUE(u->debug(3, "Opened the file."));
    EXPECT_TRUE(u->debug(1, "Started."));
    std::vector<std::string> expected = {
        "debug-3  " + AT + " (8.02)    " + tid() + ": Opened the file.",
        "debug-1  " + AT + " (8.02)    " + tid() + ": Started.",
    };
    EXPECT_EQ(expected, sink_->lines());

    sink_->clear();
    setDebugLevel(0);
    for (int32_t level = 0; level <= 5; ++level)
        EXPECT_TRUE(u->debug(level, "off"));
    ParamStream p;
    p << "x";
    EXPECT_TRUE(u->debug(1, "%s", p));
    EXPECT_EQ(0u, sink_->count());
}

TEST_F(LoggerUnitTest, DebugWithTemplate)
{
    SmartPointer<LoggerUnit> u = unit(MODULE_AGENT);
    ParamStream p;
    p << "box" << 3;
    EXPECT_TRUE(u->debug(2, "Scheme %s: %i counters.", p));
    ParamStream q;
    q << "box";
    EXPECT_TRUE(u->debug(5, "Scheme %s: %i counters.", q));
    std::vector<std::string> expected = {
        "debug-2  " + AT + " (8.21)    " + tid() + ": Scheme box: 3 counters.",
        "debug-5  " + AT + " (8.21)    " + tid() + ": Scheme box: <\?\?\?> counters.",
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(LoggerUnitTest, SeverityThresholdFilters)
{
    SmartPointer<LoggerUnit> u = unit(MODULE_RAVLON);
    setSeverityThreshold(2);
    EXPECT_TRUE(u->notice(1));
    EXPECT_TRUE(u->warning(2));
    EXPECT_TRUE(u->error(3));
    EXPECT_TRUE(u->critical(4));
    EXPECT_TRUE(u->fatal(5));
    // The collector's module has built-in texts for these numbers.
    std::vector<std::string> expected = {
        "ERROR    " + AT + " (8.09.03) " + tid() + ": Counters file <\?\?\?> does not exist or cannot be opened; "
                                                  "the collector does not start.",
        "CRITICAL " + AT + " (8.09.04) " + tid() + ": (Message not found.)",
        "FATAL    " + AT + " (8.09.05) " + tid() + ": (Message not found.)",
    };
    EXPECT_EQ(expected, sink_->lines());

    sink_->clear();
    setSeverityThreshold(5);
    EXPECT_TRUE(u->fatal(6));
    EXPECT_EQ(0u, sink_->count());
    // message() itself is not filtered.
    EXPECT_TRUE(u->message(1, 7, ""));
    EXPECT_EQ(1u, sink_->count());
}

TEST_F(LoggerUnitTest, MessagesWordedFromTheCatalogue)
{
    SmartPointer<LogCommons> catalog(new LogCommons());
    EXPECT_TRUE(catalog->insert(MODULE_RAVLON, 7, "Scheme %s has %i counters."));
    EXPECT_FALSE(catalog->insert("9.7", "second entry is ignored"));
    EXPECT_TRUE(catalog->insert(MODULE_AGENT, 98, "Agent text %s"));
    setMessageCatalog(catalog);

    SmartPointer<LoggerUnit> u = unit(MODULE_RAVLON);
    ParamStream p;
    p << "cpu" << 12;
    EXPECT_TRUE(u->notice(7, p));
    EXPECT_TRUE(u->warning(7));
    ParamStream q;
    q << "abc" << 5;
    EXPECT_TRUE(u->error(98, q)); // 98 exists for Agent only
    std::vector<std::string> expected = {
        "NOTICE   " + AT + " (8.09.07) " + tid() + ": Scheme cpu has 12 counters.",
        "WARNING  " + AT + " (8.09.07) " + tid() + ": Scheme <\?\?\?> has <\?\?\?> counters.",
        "ERROR    " + AT + " (8.09.98) " + tid() + ": (Message not found.) Parameters: abc  5  ",
    };
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(LoggerUnitTest, RecordTextCarriesApplicationAndRawParameters)
{
    SmartPointer<RecordingMessenger> recorder(new RecordingMessenger());
    SmartPointer<LoggerCentre> centre(new LoggerCentre(3, SmartPointer<LogMessenger>(recorder)));
    LoggerUnit u(centre, MODULE_TIME);
    recorder->texts.clear();
    ParamStream p;
    p << "a" << 1;
    EXPECT_TRUE(u.warning(12, p));
    EXPECT_TRUE(u.debug(4, "hello"));
    std::vector<std::string> expected = {
        std::string("Telvar\x1CLOG\x1C" "3\x1C" "4\x1C" "1299215167\x1C" "1\x1C" "sa\x1An1\x1A\x1C") + tid() +
            "\x1C" "12\x1C",
        std::string("Telvar\x1C" "DEBUG\x1C" "3\x1C" "4\x1C" "1299215167\x1C" "4\x1C" "hello\x1C") + tid() +
            "\x1C",
    };
    EXPECT_EQ(expected, recorder->texts);
}

TEST_F(LoggerUnitTest, FailuresAnswerFalseAndNeverThrow)
{
    // No centre at all.
    LoggerUnit orphan(SmartPointer<LoggerCentre>(), MODULE_AGENT);
    EXPECT_FALSE(orphan.debug(1, "x"));
    EXPECT_FALSE(orphan.notice(1));
    EXPECT_FALSE(orphan.message(2, 1, ""));
    setSeverityThreshold(3);
    EXPECT_TRUE(orphan.error(1)); // suppressed before the centre is needed
    setSeverityThreshold(0);

    // A centre without messenger, a messenger without sink, a failing sink.
    SmartPointer<LoggerCentre> bare(new LoggerCentre(8, SmartPointer<LogMessenger>()));
    EXPECT_FALSE(LoggerUnit(bare, 9).notice(1));
    SmartPointer<LoggerCentre> sinkless(new LoggerCentre(8, SmartPointer<LogMessenger>(new LogMessenger())));
    EXPECT_FALSE(LoggerUnit(sinkless, 9).notice(1));
    SmartPointer<LoggerUnit> u = unit(MODULE_AGENT);
    sink_->setFailing(true);
    EXPECT_FALSE(u->debug(1, "lost"));
    EXPECT_FALSE(u->fatal(1));

    // Exceptions below the unit.
    SmartPointer<RecordingMessenger> recorder(new RecordingMessenger());
    SmartPointer<LoggerCentre> centre(new LoggerCentre(8, SmartPointer<LogMessenger>(recorder)));
    LoggerUnit r(centre, 9);
    recorder->throwIpc = true;
    EXPECT_FALSE(r.notice(1));
    EXPECT_FALSE(r.debug(1, "x"));
    recorder->throwIpc = false;
    recorder->throwOther = true;
    EXPECT_FALSE(r.critical(1));
    recorder->throwOther = false;
}

TEST_F(LoggerUnitTest, SinkErrors)
{
    SmartPointer<ThrowingSink> sink(new ThrowingSink());
    SmartPointer<LogMessenger> messenger(new LogMessenger(SmartPointer<LoggerAgent>(sink)));
    SmartPointer<LoggerCentre> centre(new LoggerCentre(8, messenger));
    LoggerUnit u(centre, 9);
    sink->lines.clear();

    // A time error is reported in place of the line.
    sink->timeErrors = 1;
    EXPECT_TRUE(u.notice(1));
    ASSERT_EQ(1u, sink->lines.size());
    EXPECT_EQ("Time: Illegal input format. (Code: 4.10)\r\n  >  (bad)\r\n  >  Sink(7) - LogMessenger(101)",
              sink->lines[0]);

    // A second time error while reporting the first, and a file error: false.
    sink->timeErrors = 2;
    EXPECT_FALSE(u.notice(1));
    sink->fileErrors = true;
    EXPECT_FALSE(u.debug(1, "x"));
    EXPECT_EQ(1u, sink->lines.size());
}

TEST_F(LoggerUnitTest, MessengerRejectsForeignRecordTexts)
{
    LogMessenger messenger{SmartPointer<LoggerAgent>(sink_)};
    EXPECT_FALSE(messenger.deliver("garbage"));
    EXPECT_FALSE(messenger.deliver(std::string("Telvar\x1CMSG\x1C")));
    EXPECT_EQ(0u, sink_->count());
    EXPECT_TRUE(messenger.deliver(std::string("Telvar\x1C" "DEBUG\x1C" "8\x1C" "2\x1C") +
                                  std::to_string(STAMP) + "\x1C" "3\x1Chi\x1C" "5\x1C"));
    std::vector<std::string> expected = {"debug-3  " + AT + " (8.02)    5: hi"};
    EXPECT_EQ(expected, sink_->lines());
}

TEST_F(LoggerUnitTest, ManyThreadsLogAtOnce)
{
    constexpr int threads = 4;
    constexpr int perThread = 300;
    SmartPointer<LogCommons> catalog(new LogCommons());
    catalog->insert(MODULE_AGENT, 99, "Worker %i step %i.");
    SmartPointer<LoggerUnit> u = unit(MODULE_AGENT);

    std::atomic<bool> done{false};
    // Reconfiguration running alongside: catalogue swapped, levels changed.
    std::thread changer([&] {
        bool on = false;
        while (!done.load()) {
            setMessageCatalog(on ? catalog : SmartPointer<LogCommons>());
            setDebugLevel(on ? 5 : 4);
            on = !on;
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    std::vector<std::string> ids(threads);
    std::atomic<int> failures{0};
    for (int w = 0; w < threads; ++w) {
        workers.emplace_back([&, w] {
            ids[w] = tid();
            for (int i = 0; i < perThread; ++i) {
                ParamStream p;
                p << w << i;
                if (!u->notice(99, p))
                    ++failures;
                if (!u->debug(2, "w" + std::to_string(w) + " i" + std::to_string(i)))
                    ++failures;
            }
        });
    }
    for (std::thread& t : workers)
        t.join();
    done = true;
    changer.join();

    EXPECT_EQ(0, failures.load());
    std::vector<std::string> lines = sink_->lines();
    ASSERT_EQ(size_t(threads * perThread * 2), lines.size());
    std::map<std::string, int> seen;
    for (const std::string& line : lines)
        ++seen[line];
    for (int w = 0; w < threads; ++w) {
        for (int i = 0; i < perThread; ++i) {
            std::string n = std::to_string(w), s = std::to_string(i);
            std::string worded = "NOTICE   " + AT + " (8.21.99) " + ids[w] + ": Worker " + n + " step " + s + ".";
            std::string raw = "NOTICE   " + AT + " (8.21.99) " + ids[w] + ": (Message not found.) Parameters: " +
                              n + "  " + s + "  ";
            EXPECT_EQ(1, seen[worded] + seen[raw]) << worded;
            EXPECT_EQ(1, seen["debug-2  " + AT + " (8.21)    " + ids[w] + ": w" + n + " i" + s]);
        }
    }
}
