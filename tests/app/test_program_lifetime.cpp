#include "program_lifetime.h"

#include <gtest/gtest.h>

#include <string>

namespace tovaly {
namespace {

struct Recorder {
    std::string events;
    ProgramLifetime::Action during; // runs inside processEvents
};

ProgramLifetime MakeLifetime(Recorder &r)
{
    return ProgramLifetime(
        [&r] {
            r.events += "P";
            if (r.during)
                r.during();
        },
        [&r] { r.events += "Q"; }, [&r] { r.events += "T"; });
}

TEST(ProgramLifetime, EndingFromTheEventLoopQuitsIt)
{
    Recorder r;
    ProgramLifetime lifetime = MakeLifetime(r);
    lifetime.Yield();
    EXPECT_EQ(r.events, "P");
    lifetime.End();
    EXPECT_EQ(r.events, "PQ");
    EXPECT_TRUE(lifetime.Ended());
}

TEST(ProgramLifetime, EndingInsideAYieldTerminatesBeforeTheCommandGoesOn)
{
    Recorder r;
    ProgramLifetime lifetime = MakeLifetime(r);
    r.during = [&] { lifetime.End(); }; // the window is closed while events are handled
    lifetime.Yield();
    EXPECT_EQ(r.events, "PQT");
}

TEST(ProgramLifetime, AnExitAnsweredNoInsideAYieldLetsTheCommandGoOn)
{
    Recorder r;
    ProgramLifetime lifetime = MakeLifetime(r);
    lifetime.Yield();
    lifetime.Yield();
    EXPECT_EQ(r.events, "PP");
    EXPECT_FALSE(lifetime.Ended());
}

} // namespace
} // namespace tovaly
