#include <gtest/gtest.h>

#include <atomic>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/LockFile.h"
#include "common/TimeSpan.h"
#include "platform/Clock.h"
#include "support/ChildProcess.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;

namespace {

// 2011-03-04T05:06:07Z
constexpr int64_t MOMENT = 1299215167;

// Pins "now" of DateTime for one test; the moment can be moved on.
struct FixedClock : Telvar::Testing::ManualClock {
    FixedClock() : ManualClock(MOMENT) {}
};

} // namespace

TEST(LockFileTest, AcquireWritesTheFourLines)
{
    TempDir dir;
    FixedClock clock;
    std::string target = dir.file("data.make");
    LockFile lock(target);
    EXPECT_FALSE(lock.present());
    EXPECT_FALSE(lock.targetExisted());
    EXPECT_EQ(target + ".lock", lock.lockPath());
    ASSERT_TRUE(lock.acquire(TimeSpan(30), false));
    EXPECT_TRUE(lock.present());
    EXPECT_TRUE(lock.isOwn());
    EXPECT_EQ("20110304T050607Z\n20110304T050637Z\n" + lock.ownKey() + "\nmissing\n",
              dir.read("data.make.lock"));
    EXPECT_FALSE(dir.exists("data.make"));
    EXPECT_FALSE(lock.acquire(TimeSpan(30), false));
    ASSERT_TRUE(lock.release());
    EXPECT_FALSE(lock.present());
    EXPECT_FALSE(dir.exists("data.make.lock"));
    EXPECT_TRUE(lock.release());

    // Holding the target keeps (or makes) it, and says so in line 4.
    ASSERT_TRUE(dir.write("held", "content"));
    LockFile holder(dir.file("held"));
    EXPECT_TRUE(holder.targetExisted());
    ASSERT_TRUE(holder.acquire(TimeSpan(90), true));
    EXPECT_EQ("20110304T050607Z\n20110304T050737Z\n" + holder.ownKey() + "\noriginal\n",
              dir.read("held.lock"));
    EXPECT_EQ("content", dir.read("held"));
}

TEST(LockFileTest, KeysHaveTimeOfDayAndTenPrintableBytes)
{
    FixedClock clock;
    std::string key = LockFile::makeKey();
    ASSERT_EQ(17u, key.size());
    EXPECT_EQ("050607Z", key.substr(0, 7));
    for (size_t i = 7; i < key.size(); ++i) {
        EXPECT_GE(key[i], 32);
        EXPECT_LE(key[i], 125);
    }
    // Made within one second, still distinct.
    EXPECT_NE(key, LockFile::makeKey());
    LockFile a("/nonexistent/x"), b("/nonexistent/x");
    EXPECT_NE(a.ownKey(), b.ownKey());
}

TEST(LockFileTest, SecondObjectSeesALiveForeignLock)
{
    TempDir dir;
    FixedClock clock;
    std::string target = dir.file("f");
    LockFile first(target);
    ASSERT_TRUE(first.acquire(TimeSpan(30), true));
    EXPECT_TRUE(dir.exists("f"));   // held targets are made when missing

    LockFile second(target);
    EXPECT_TRUE(second.present());
    EXPECT_FALSE(second.isOwn());
    EXPECT_EQ(first.ownKey(), second.ownerKey());
    EXPECT_EQ(DateTime(MOMENT), second.lockTime());
    EXPECT_EQ(DateTime(MOMENT + 30), second.expiryTime());
    EXPECT_TRUE(second.holdsTarget());
    EXPECT_FALSE(second.acquire(TimeSpan(30), false));
    EXPECT_FALSE(second.release());
    EXPECT_TRUE(dir.exists("f.lock"));

    // Past its expiry a lock whose holder still lives is not taken away.
    clock.set(MOMENT + 60);
    EXPECT_FALSE(second.release());
    EXPECT_TRUE(first.isOwn());

    ASSERT_TRUE(first.release());
    LockFile third(target);
    EXPECT_FALSE(third.present());
    EXPECT_TRUE(third.acquire(TimeSpan(30), false));
}

TEST(LockFileTest, ExpiredForeignLockIsTakenOver)
{
    TempDir dir;
    FixedClock clock;
    ASSERT_TRUE(dir.write("f.lock", "20110304T045000Z\n20110304T045030Z\n120000ZABCDEFGHIJ\nmissing\n"));
    LockFile lock(dir.file("f"));
    EXPECT_TRUE(lock.present());
    EXPECT_EQ("120000ZABCDEFGHIJ", lock.ownerKey());
    EXPECT_FALSE(lock.holdsTarget());
    EXPECT_EQ(DateTime(MOMENT - 937), lock.expiryTime());
    ASSERT_TRUE(lock.release());
    EXPECT_FALSE(dir.exists("f.lock"));
    ASSERT_TRUE(lock.acquire(TimeSpan(30), false));
    EXPECT_TRUE(lock.isOwn());

    // Not yet expired: kept.
    ASSERT_TRUE(dir.write("g.lock", "20110304T050600Z\n20110304T050630Z\nforeign\noriginal\n"));
    LockFile alive(dir.file("g"));
    EXPECT_FALSE(alive.release());
    clock.set(MOMENT + 22);
    EXPECT_FALSE(alive.release());
    clock.set(MOMENT + 23);   // the expiry moment itself
    EXPECT_TRUE(alive.release());
    EXPECT_FALSE(dir.exists("g.lock"));
}

TEST(LockFileTest, KilledHoldersLockExpires)
{
    TempDir dir;
    FixedClock clock;
    std::string target = dir.file("f");
    Platform::ProcessId child = Testing::forkChild([&] {
        LockFile lock(target);
        if (!lock.acquire(TimeSpan(30), true))
            return 3;
        TempDir::writeFile(target + ".ready", "");
        for (;;)
            Platform::sleepMilliseconds(100);
    });
    ASSERT_GT(child, 0);
    int64_t until = Platform::monotonicMilliseconds() + 5000;
    while (!dir.exists("f.ready") && Platform::monotonicMilliseconds() < until)
        Platform::sleepMilliseconds(2);
    ASSERT_TRUE(dir.exists("f.ready"));
    ASSERT_TRUE(Testing::killProcessHard(child));
    ASSERT_EQ(128 + 9, Testing::waitChild(child, 5000));

    LockFile lock(target);
    ASSERT_TRUE(lock.present());
    EXPECT_FALSE(lock.release());   // its time has not run out
    clock.set(MOMENT + 30);
    EXPECT_TRUE(lock.release());
    EXPECT_TRUE(lock.acquire(TimeSpan(30), false));
}

TEST(LockFileTest, DestructionReleasesTheOwnLock)
{
    TempDir dir;
    {
        LockFile lock(dir.file("f"));
        ASSERT_TRUE(lock.acquire(TimeSpan(30), false));
        EXPECT_TRUE(dir.exists("f.lock"));
    }
    EXPECT_FALSE(dir.exists("f.lock"));
    // A foreign lock is left alone by destruction.
    ASSERT_TRUE(dir.write("g.lock", "20110304T050600Z\n20110304T050630Z\nforeign\nmissing\n"));
    { LockFile seen(dir.file("g")); }
    EXPECT_TRUE(dir.exists("g.lock"));
}

TEST(LockFileTest, CorruptTimeTextThrowsTimeException)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f.lock", "yesterday\n20110304T050630Z\nkey\nmissing\n"));
    try {
        LockFile lock(dir.file("f"));
        FAIL() << "no exception";
    } catch (const TimeException& e) {
        EXPECT_EQ(TimeException::TM_INPUT, e.code());
        ASSERT_FALSE(e.trace().empty());
        EXPECT_EQ("LockFile", e.trace().back().module);
    }
    ASSERT_TRUE(dir.write("g.lock", ""));
    EXPECT_THROW(LockFile(dir.file("g")), TimeException);
}
