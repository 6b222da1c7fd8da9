#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/Monopoly.h"
#include "platform/Clock.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::TempDir;
using Telvar::Testing::waitFor;

namespace {

std::string uniqueName(const std::string& base)
{
    return base + "_" + std::to_string(Platform::currentProcessId());
}

} // namespace

TEST(MonopolyTest, NamesHaveSlashesReplaced)
{
    Monopoly m("a/b\\c");
    EXPECT_EQ("a_b_c", m.name());
    EXPECT_TRUE(m.isNamed());
    EXPECT_EQ("Telvar_MailSlot", Monopoly::mutexName("Telvar_MailSlot"));
    EXPECT_EQ("__x__", Monopoly::mutexName("/\\x\\/"));
}

TEST(MonopolyTest, NamedIsATryLockBetweenObjects)
{
    std::string name = uniqueName("telvar/test\\named");
    Monopoly first(name);
    Monopoly second(name);
    Monopoly other(name + "_other");
    EXPECT_TRUE(first.relax());   // not held: nothing to do
    ASSERT_TRUE(first.enforce());
    EXPECT_TRUE(first.held());
    EXPECT_TRUE(first.enforce()); // no nesting: still held once
    EXPECT_FALSE(second.enforce());
    EXPECT_FALSE(second.held());
    EXPECT_TRUE(other.enforce());
    EXPECT_TRUE(first.relax());
    EXPECT_FALSE(first.held());
    EXPECT_TRUE(second.enforce());
    EXPECT_FALSE(first.enforce());
    // A slash and an underscore name the same mutex.
    Monopoly spelled(uniqueName("telvar_test_named"));
    EXPECT_FALSE(spelled.enforce());
}

TEST(MonopolyTest, NamedIsFreedWhenTheHolderGoes)
{
    std::string name = uniqueName("telvar_scope");
    {
        Monopoly holder(name);
        ASSERT_TRUE(holder.enforce());
    }
    Monopoly next(name);
    EXPECT_TRUE(next.enforce());
}

TEST(MonopolyTest, EmptyNameNeverEnforces)
{
    Monopoly m{std::string()};
    EXPECT_FALSE(m.enforce());
    EXPECT_FALSE(m.held());
}

TEST(MonopolyTest, NamedHeldByKilledChildIsFreeAtOnce)
{
    TempDir dir;
    std::string name = uniqueName("telvar_killed");
    std::string signal = dir.file("held");
    Platform::ProcessId child = Testing::forkChild([&] {
        Monopoly m(name);
        if (!m.enforce())
            return 3;
        TempDir::writeFile(signal, "1");
        for (;;)
            Platform::sleepMilliseconds(100);
    });
    ASSERT_GT(child, 0);
    ASSERT_TRUE(waitFor([&] { return dir.exists("held"); }));

    Monopoly mine(name);
    EXPECT_FALSE(mine.enforce());
    ASSERT_TRUE(Testing::killProcessHard(child));
    EXPECT_EQ(128 + 9, Testing::waitChild(child, 5000));
    EXPECT_TRUE(mine.enforce());
}

TEST(MonopolyTest, NamedHeldByChildThatExitsWithoutRelaxIsFree)
{
    std::string name = uniqueName("telvar_exited");
    Monopoly mine(name);
    ASSERT_TRUE(mine.enforce());
    // The child cannot take it while the parent holds it.
    Platform::ProcessId child = Testing::forkChild([&] {
        Monopoly m(name);
        return m.enforce() ? 1 : 0;
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(0, Testing::waitChild(child, 5000));
    ASSERT_TRUE(mine.relax());

    child = Testing::forkChild([&] {
        static Monopoly* leaked = new Monopoly(name);
        return leaked->enforce() ? 0 : 1;   // exits holding it
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(0, Testing::waitChild(child, 5000));
    EXPECT_TRUE(mine.enforce());
}

TEST(MonopolyTest, UnnamedCountsNestedEntries)
{
    Monopoly m;
    EXPECT_FALSE(m.isNamed());
    ASSERT_TRUE(m.enforce());
    ASSERT_TRUE(m.enforce());
    EXPECT_EQ(2, m.depth());

    std::atomic<bool> entered{false};
    std::atomic<bool> relaxFromOther{true};
    std::thread other([&] {
        relaxFromOther = m.relax();   // not the holder
        m.enforce();
        entered = true;
        m.relax();
    });
    ASSERT_TRUE(waitFor([&] { return !relaxFromOther.load(); }));
    Platform::sleepMilliseconds(30);
    EXPECT_FALSE(entered);
    ASSERT_TRUE(m.relax());
    EXPECT_EQ(1, m.depth());
    EXPECT_TRUE(m.held());
    Platform::sleepMilliseconds(30);
    EXPECT_FALSE(entered);
    ASSERT_TRUE(m.relax());
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(0, m.depth());
    EXPECT_FALSE(m.held());
    EXPECT_FALSE(m.relax());
}

TEST(MonopolyTest, UnnamedExcludesOtherThreads)
{
    Monopoly m;
    int counter = 0;   // guarded by m only
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                m.enforce();
                m.enforce();
                ++counter;
                m.relax();
                m.relax();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(20000, counter);
}

TEST(MonopolyTest, RenameSwitchesToNamedUnlessHeld)
{
    Monopoly m;
    ASSERT_TRUE(m.enforce());
    EXPECT_FALSE(m.rename("x"));
    ASSERT_TRUE(m.relax());
    std::string name = uniqueName("telvar/renamed");
    ASSERT_TRUE(m.rename(name));
    EXPECT_TRUE(m.isNamed());
    EXPECT_EQ(uniqueName("telvar_renamed"), m.name());
    ASSERT_TRUE(m.enforce());
    EXPECT_FALSE(m.rename("y"));
    Monopoly rival(name);
    EXPECT_FALSE(rival.enforce());
}

TEST(MonopolyTest, TraceTextsGoToTheHookOnlyWithALabel)
{
    std::vector<std::string> texts;
    Monopoly::setTraceHook([&](const std::string& t) { texts.push_back(t); });
    std::string name = uniqueName("telvar_trace");
    Monopoly holder(name);
    Monopoly traced(name);
    ASSERT_TRUE(holder.enforce());
    EXPECT_TRUE(texts.empty());
    traced.setTraceLabel("L");
    EXPECT_FALSE(traced.enforce());
    ASSERT_TRUE(holder.relax());
    EXPECT_TRUE(traced.enforce());
    EXPECT_TRUE(traced.relax());
    Monopoly::setTraceHook(nullptr);
    EXPECT_EQ((std::vector<std::string>{"MONOPOLY: enforce      L", "MONOPOLY: enforce FAIL L",
                                        "MONOPOLY: enforce      L", "MONOPOLY: ENFORCED     L",
                                        "MONOPOLY: relax        L", "MONOPOLY: RELAXED      L"}),
              texts);
}
