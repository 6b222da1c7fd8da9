#include "common/SmartPointer.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Telvar;

namespace {

struct Tracked {
    explicit Tracked(int& live) : live_(live) { ++live_; }
    virtual ~Tracked() { --live_; }
    int& live_;
};

struct Derived : Tracked {
    using Tracked::Tracked;
};

} // namespace

TEST(SmartPointer, LastHolderDeletes)
{
    int live = 0;
    {
        SmartPointer<Tracked> a(new Tracked(live));
        EXPECT_FALSE(a.isNull());
        {
            SmartPointer<Tracked> b(a);
            SmartPointer<Tracked> c;
            c = b;
            EXPECT_TRUE(c.equals(a));
            EXPECT_EQ(1, live);
        }
        EXPECT_EQ(1, live);
        a.reset();
        EXPECT_TRUE(a.isNull());
        EXPECT_EQ(0, live);
    }
    SmartPointer<Tracked> empty;
    EXPECT_TRUE(empty.isNull());
    EXPECT_TRUE(empty.equals(SmartPointer<Tracked>()));
}

TEST(SmartPointer, ReleaseDeletesForAllHolders)
{
    int live = 0;
    SmartPointer<Tracked> a(new Tracked(live));
    SmartPointer<Tracked> b(a);
    SmartPointer<Tracked> c(b);
    b.release();
    EXPECT_EQ(0, live);
    EXPECT_TRUE(a.isNull());
    EXPECT_TRUE(b.isNull());
    EXPECT_TRUE(c.isNull());
    EXPECT_EQ(nullptr, c.get());
    // A copy of a released holder is null too, and all of them free the
    // shared count without touching the deleted object (checked by ASan).
    SmartPointer<Tracked> d(c);
    EXPECT_TRUE(d.isNull());
    a.reset();
    d.reset();
    a.release();
    EXPECT_EQ(0, live);
}

TEST(SmartPointer, ConvertsToBaseSharingOwnership)
{
    int live = 0;
    SmartPointer<Derived> d(new Derived(live));
    SmartPointer<Tracked> base(d);
    d.reset();
    EXPECT_EQ(1, live);
    EXPECT_FALSE(base.isNull());
    base.reset();
    EXPECT_EQ(0, live);
}

TEST(SmartPointer, CopiesAcrossThreads)
{
    int live = 0;
    SmartPointer<Tracked> shared(new Tracked(live));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < 10000; ++i) {
                SmartPointer<Tracked> copy(shared);
                SmartPointer<Tracked> moved(std::move(copy));
                (void)moved;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1, live);
    shared.reset();
    EXPECT_EQ(0, live);
}
