#include "mbs_filter.h"

#include <gtest/gtest.h>

using tovaly::HasMbsExtension;

TEST(MbsFilter, AcceptsMbsInAnyCase)
{
    EXPECT_TRUE(HasMbsExtension("/m/x.mbs"));
    EXPECT_TRUE(HasMbsExtension("/m/x.MBS"));
    EXPECT_TRUE(HasMbsExtension("/m/x.Mbs"));
    EXPECT_TRUE(HasMbsExtension(".mbs"));
    EXPECT_TRUE(HasMbsExtension("/m/.mbs"));
}

TEST(MbsFilter, TrimsSpacesOnly)
{
    EXPECT_TRUE(HasMbsExtension("  /m/x.mbs  "));
    EXPECT_FALSE(HasMbsExtension("/m/x.mbs\t"));
    EXPECT_FALSE(HasMbsExtension("/m/x.mbs\n"));
    EXPECT_FALSE(HasMbsExtension("/m/x.mb s"));
}

TEST(MbsFilter, RejectsOtherEndings)
{
    EXPECT_FALSE(HasMbsExtension("/m/x.mbsx"));
    EXPECT_FALSE(HasMbsExtension("/m/x.mbs.bak"));
    EXPECT_FALSE(HasMbsExtension("/m/x.eml"));
    EXPECT_FALSE(HasMbsExtension("/m/xmbs"));
    EXPECT_FALSE(HasMbsExtension("mbs"));
    EXPECT_FALSE(HasMbsExtension(""));
    EXPECT_FALSE(HasMbsExtension("    "));
    EXPECT_FALSE(HasMbsExtension("/m/x.mbś"));
}
