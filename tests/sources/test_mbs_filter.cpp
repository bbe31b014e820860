#include "mbs_filter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <random>

using tovaly::HasMbsExtension;
namespace fs = std::filesystem;

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

TEST(MbsFolderScan, FindsMessageFilesInWalkOrderOncePerFolder)
{
#ifdef _WIN32
    GTEST_SKIP() << "the tree holds a link cycle, and making a link needs a privilege on Windows that Wine does not grant";
#endif
    const fs::path root = fs::temp_directory_path() / ("tovaly_mbs_scan_" + std::to_string(std::random_device()()));
    fs::remove_all(root);
    fs::create_directories(root / "b" / "c");
    for (const fs::path &file : {root / "1.mbs", root / "note.txt", root / "b" / "2.MBS", root / "b" / "c" / "3.mbs",
                                 root / "b" / "c" / "3.mbs.bak"})
        std::ofstream(file) << "x";
    fs::create_directory_symlink(root / "b", root / "b" / "c" / "loop");
    const std::string start = root.string() + "/";

    const tovaly::MbsFolderScan scan = tovaly::ScanFolderForMbsFiles(start);
    fs::remove_all(root);

    const std::vector<std::string> expected = {start + "1.mbs", start + "b/2.MBS", start + "b/c/3.mbs"};
    EXPECT_EQ(scan.files, expected);
    EXPECT_TRUE(scan.skippedFolders.empty());
}
