#include "mbs_filter.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
    GTEST_SKIP()
        << "the tree holds a link cycle, and making a link needs a privilege on Windows that Wine does not grant";
#endif
    const tovaly::test::TempFolder temp("mbs_scan");
    const fs::path &root = temp.Path();
    ASSERT_FALSE(root.empty());
    fs::create_directories(root / "b" / "c");
    for (const fs::path &file : {root / "1.mbs", root / "note.txt", root / "b" / "2.MBS", root / "b" / "c" / "3.mbs",
                                 root / "b" / "c" / "3.mbs.bak"})
        std::ofstream(file) << "x";
    fs::create_directory_symlink(root / "b", root / "b" / "c" / "loop");
    const std::string start = root.string() + "/";

    const tovaly::MbsFolderScan scan = tovaly::ScanFolderForMbsFiles(start);

    const std::vector<std::string> expected = {start + "1.mbs", start + "b/2.MBS", start + "b/c/3.mbs"};
    EXPECT_EQ(scan.files, expected);
    EXPECT_TRUE(scan.skippedFolders.empty());
}

TEST(MbsFolderScan, ReportsMessageEntriesItCannotUseAndAnythingThatMightBeAFolder)
{
    // One folder whose listing holds every kind of entry the walker cannot use.
#ifdef _WIN32
    static const std::string m = "C:\\m\\";
#else
    static const std::string m = "/m/";
#endif
    class OneFolder final : public tovaly::FileSystemService {
    public:
        bool FolderExists(const std::string &path) override { return path == m; }
        tovaly::FolderListing ListSubfolders(const std::string &) override { return {}; }
        tovaly::FolderListing ListFiles(const std::string &) override
        {
            tovaly::FolderListing listing;
            listing.names = {"a.mbs", "notes.txt"};
            listing.unusable = {{"pipe.mbs", 0, "not a regular file"},
                                {"socket", 0, "not a regular file"},
                                {"gone.MBS", ENOENT, "not a regular file: the link leads nowhere"},
                                {"gone", ENOENT, "not a regular file: the link leads nowhere"},
                                {"loop", ELOOP, "Too many levels of symbolic links"},
                                {"closed.mbs", EACCES, "Permission denied"}};
            return listing;
        }
        std::optional<std::string> FolderIdentity(const std::string &path) override { return path; }
    };

    const tovaly::MbsFolderScan scan = tovaly::ScanFolderForMbsFiles(m, std::make_shared<OneFolder>());
    EXPECT_EQ(scan.files, std::vector<std::string>{m + "a.mbs"});
    std::vector<std::string> reported;
    for (const tovaly::SkippedPath &entry : scan.skippedEntries)
        reported.push_back(entry.path + ": " + entry.reason);
    EXPECT_EQ(reported, (std::vector<std::string>{m + "pipe.mbs: not a regular file",
                                                  m + "gone.MBS: not a regular file: the link leads nowhere",
                                                  m + "loop: Too many levels of symbolic links",
                                                  m + "closed.mbs: Permission denied"}));
}
