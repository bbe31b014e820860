#include "event_pump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tovaly {
namespace {

// A pump on a clock the test moves by hand, which counts its readings.
struct PumpRig {
    std::int64_t now = 0;
    int clockReads = 0;
    int served = 0;
    std::function<void()> duringServe;
    ProgressClock clock = [this] {
        ++clockReads;
        return now;
    };
    EventPump pump{[this] {
                       ++served;
                       if (duringServe)
                           duringServe();
                   },
                   clock};
};

TEST(EventPump, TheFirstYieldServesThenOnlyOncePerInterval)
{
    PumpRig rig;
    rig.pump.Yield();
    EXPECT_EQ(rig.served, 1);

    // 1 ms apart: one serve in every kServeIntervalMs yields.
    for (int i = 0; i < 3 * kServeIntervalMs; ++i) {
        rig.now += 1;
        rig.pump.Yield();
    }
    EXPECT_EQ(rig.served, 1 + 3);
    EXPECT_EQ(rig.pump.Serves(), 4U);

    // A clock that jumps past the interval at every yield serves every time.
    for (int i = 0; i < 5; ++i) {
        rig.now += kServeIntervalMs;
        rig.pump.Yield();
    }
    EXPECT_EQ(rig.served, 4 + 5);
}

TEST(EventPump, ServeAlwaysServesAndTheIntervalCountsFromItsEnd)
{
    PumpRig rig;
    rig.pump.Serve();
    rig.pump.Serve();
    EXPECT_EQ(rig.served, 2);

    // A serve that takes 100 ms (a dialog was open) is not followed by
    // another one at the next yield.
    rig.duringServe = [&] { rig.now += 100; };
    rig.pump.Serve();
    rig.duringServe = nullptr;
    for (int i = 1; i < kServeIntervalMs; ++i) {
        rig.now += 1;
        rig.pump.Yield();
    }
    EXPECT_EQ(rig.served, 3);
    rig.now += 1;
    rig.pump.Yield();
    EXPECT_EQ(rig.served, 4);
}

TEST(EventPump, DenseYieldsReadTheClockSeldomButSlowOnesAtOnce)
{
    PumpRig rig;
    rig.pump.Yield();
    // A million yields within one millisecond: the clock is read about
    // once every kMaxStride yields, not a million times.
    rig.clockReads = 0;
    for (int i = 0; i < 1000000; ++i)
        rig.pump.Yield();
    EXPECT_LT(rig.clockReads, 1000000 / EventPump::kMaxStride + 20);
    EXPECT_GT(rig.clockReads, 1000000 / EventPump::kMaxStride - 20);
    EXPECT_EQ(rig.served, 1);

    // Then every yield takes 10 ms: within two yields the clock is read at
    // every one, so the window is never kept waiting for many of them.
    rig.now += 10;
    int yields = 0;
    while (rig.served == 1 && yields < 100) {
        rig.pump.Yield();
        rig.now += 10;
        ++yields;
    }
    EXPECT_EQ(rig.served, 2);
    EXPECT_LE(yields, EventPump::kMaxStride + 2); // the stride in force ran out once
    const int readsBefore = rig.clockReads;
    for (int i = 0; i < 10; ++i) {
        rig.now += 10;
        rig.pump.Yield();
    }
    EXPECT_EQ(rig.clockReads - readsBefore, 10 + 5); // every yield, and after every serve
    EXPECT_EQ(rig.served, 2 + 5);                    // every second yield: 20 ms apart
}

TEST(EventPump, DisplaysShowTheirStateBeforeEveryServeUntilRemoved)
{
    PumpRig rig;
    std::string order;
    rig.duringServe = [&] { order += "E"; };
    const int first = rig.pump.AddDisplay([&] { order += "a"; });
    {
        const EventPump::ScopedDisplay second(rig.pump, [&] { order += "b"; });
        rig.pump.Serve();
        rig.pump.Yield(); // not due: nothing shown
    }
    rig.pump.Serve();
    rig.pump.RemoveDisplay(first);
    rig.pump.RemoveDisplay(12345); // unknown: no effect
    rig.pump.Serve();
    EXPECT_EQ(order, "abEaEE");
}

TEST(EventPump, ADisplayAddedWhileServingTakesPartFromTheNextServe)
{
    PumpRig rig;
    std::vector<int> shown;
    int added = 0;
    rig.pump.AddDisplay([&] {
        shown.push_back(1);
        if (added == 0)
            added = rig.pump.AddDisplay([&] { shown.push_back(2); });
    });
    rig.pump.Serve();
    rig.pump.Serve();
    EXPECT_EQ(shown, (std::vector<int>{1, 1, 2}));
}

TEST(EventPump, WithoutAClockItServesOnTheSteadyOne)
{
    int served = 0;
    EventPump pump([&] { ++served; });
    pump.Yield(); // a serve ends with a reading of the clock
    pump.Yield();
    EXPECT_GE(served, 1);
    // The clock it then falls back on never goes back.
    std::int64_t last = SteadyMilliseconds();
    for (int i = 0; i < 1000; ++i) {
        const std::int64_t now = SteadyMilliseconds();
        EXPECT_GE(now, last);
        last = now;
    }
}

} // namespace
} // namespace tovaly
