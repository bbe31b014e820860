#include "path_logger.h"
#include "test_files.h"
#include "utf8_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using tovaly::FileSystemService;
using tovaly::FolderListing;
using tovaly::pathLogger;

namespace {

// An in-memory tree with a fixed listing order, listing failures and folder
// identities (so links and cycles can be modelled).
// `path` with the walker's separator ("\\" on Windows) written as "/", so the
// fake tree and the expectations below read the same on every system.
std::string Posix(std::string path)
{
    for (char &c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

// `path` spelled with "/" as the walker's separator expects it.
std::string Native(std::string path)
{
    for (char &c : path) {
        if (c == '/')
            c = static_cast<char>(std::filesystem::path::preferred_separator);
    }
    return path;
}

class FakeFileSystem final : public FileSystemService {
public:
    struct Folder {
        std::vector<std::string> subfolders;
        std::vector<std::string> files;
        std::string identity; // defaults to the path
        int subfolderError = 0;
        int fileError = 0;
    };

    std::map<std::string, Folder> folders;
    std::vector<std::string> listed; // every folder whose files were listed

    bool FolderExists(const std::string &path) override { return folders.count(WithSlash(Posix(path))) != 0; }

    FolderListing ListSubfolders(const std::string &folder) override
    {
        const Folder &f = folders.at(Posix(folder));
        if (f.subfolderError != 0)
            return FolderListing::Failure(f.subfolderError, "Permission denied");
        FolderListing listing;
        listing.names = f.subfolders;
        return listing;
    }

    FolderListing ListFiles(const std::string &folder) override
    {
        listed.push_back(Posix(folder));
        const Folder &f = folders.at(Posix(folder));
        if (f.fileError != 0)
            return FolderListing::Failure(f.fileError, "No such file or directory");
        FolderListing listing;
        listing.names = f.files;
        return listing;
    }

    std::optional<std::string> FolderIdentity(const std::string &path) override
    {
        const auto it = folders.find(Posix(path));
        if (it == folders.end())
            return std::nullopt;
        return it->second.identity.empty() ? Posix(path) : it->second.identity;
    }

private:
    static std::string WithSlash(const std::string &path)
    {
        return !path.empty() && path.back() == '/' ? path : path + '/';
    }
};

// The example tree: /M holds a.mbs and the subfolders X (b.mbs) and Y, which
// holds Z (c.mbs).
std::shared_ptr<FakeFileSystem> ExampleTree()
{
    auto fake = std::make_shared<FakeFileSystem>();
    fake->folders["/M/"] = {{"X", "Y"}, {"a.mbs"}, "", 0, 0};
    fake->folders["/M/X/"] = {{}, {"b.mbs"}, "", 0, 0};
    fake->folders["/M/Y/"] = {{"Z"}, {}, "", 0, 0};
    fake->folders["/M/Y/Z/"] = {{}, {"c.mbs"}, "", 0, 0};
    return fake;
}

// The texts of a list as the walker made them.
std::vector<std::string> Values(const tovaly::TextList &list)
{
    return list.Values();
}

// The same with "/" for the separator.
std::vector<std::string> Texts(const tovaly::TextList &list)
{
    std::vector<std::string> texts = list.Values();
    for (std::string &text : texts)
        text = Posix(text);
    return texts;
}

class TempTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_root.empty()); }
    void File(const std::string &relative)
    {
        const fs::path p = m_root / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "x";
    }
    std::string Root() const { return m_root.string(); }
    std::string Slash() const { return m_root.string() + N("/"); }
    // `path` with "/" as the separator of the system the walk runs on.
    static std::string N(std::string path)
    {
        for (char &c : path) {
            if (c == '/')
                c = static_cast<char>(fs::path::preferred_separator);
        }
        return path;
    }

    tovaly::test::TempFolder m_temp{"path_logger"};
    fs::path m_root = m_temp.Path();
};

} // namespace

TEST(KeyedList, KeysStayUniqueAndFindableHoweverItemsWereAdded)
{
    tovaly::TextList list;
    list.AddUnique("a", "K1");
    list.AddUnique("b", "K2");
    EXPECT_FALSE(list.Add("again", "K2")); // checked against items added unchecked
    EXPECT_TRUE(list.Add("c", "K3"));
    list.AddUnique("d", "K4");
    ASSERT_NE(list.Find("K4"), nullptr);
    EXPECT_EQ(*list.Find("K4"), "d");
    EXPECT_EQ(*list.Find("K1"), "a");
    EXPECT_EQ(list.Find("K9"), nullptr);
    EXPECT_FALSE(list.Add("again", "K4"));
    EXPECT_EQ(list.Values(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(list.Keys(), (std::vector<std::string>{"K1", "K2", "K3", "K4"}));
    EXPECT_EQ(list.Item(3), "c");
    EXPECT_EQ(list.Key(4), "K4");
    EXPECT_THROW((void)list.Item(0), std::out_of_range);
    EXPECT_THROW((void)list.Item(5), std::out_of_range);
}

TEST(PathLogger, WalksTheExampleTreeBreadthFirst)
{
    pathLogger walker(ExampleTree());
    walker.PathLogInit();
    walker.setFullFileNamesOnly(false);
    walker.LogPath(Native("/M"));

    const auto paths = walker.pathNames();
    EXPECT_EQ(Texts(*paths), (std::vector<std::string>{"/M/", "/M/X/", "/M/Y/", "/M/Y/Z/"}));
    EXPECT_EQ(paths->Keys(), (std::vector<std::string>{"K0", "K2", "K3", "K4"}));

    const auto full = walker.fullFileNames();
    EXPECT_EQ(Texts(*full), (std::vector<std::string>{"/M/a.mbs", "/M/X/b.mbs", "/M/Y/Z/c.mbs"}));
    EXPECT_EQ(full->Keys(), (std::vector<std::string>{"K1", "K2", "K3"}));
    EXPECT_EQ(Texts(*walker.fileNames()), (std::vector<std::string>{"a.mbs", "b.mbs", "c.mbs"}));
    EXPECT_EQ(walker.fileNames()->Keys(), full->Keys());
    EXPECT_EQ(walker.pathPointers()->Values(), (std::vector<std::int32_t>{1, 2, 4}));
    EXPECT_EQ(walker.pathPointers()->Keys(), full->Keys());
    EXPECT_EQ(walker.Count(), 4);

    // 1-based positions and key lookup.
    EXPECT_EQ(Posix(full->Item(1)), "/M/a.mbs");
    EXPECT_EQ(Posix(full->Item(3)), "/M/Y/Z/c.mbs");
    EXPECT_THROW((void)full->Item(0), std::out_of_range);
    EXPECT_THROW((void)full->Item(4), std::out_of_range);
    ASSERT_NE(paths->Find("K4"), nullptr);
    EXPECT_EQ(Posix(*paths->Find("K4")), "/M/Y/Z/");
    EXPECT_EQ(paths->Find("K1"), nullptr);
    EXPECT_TRUE(walker.skippedFolders().empty());
}

TEST(PathLogger, KeepsTheFileSystemListingOrder)
{
    auto fake = ExampleTree();
    fake->folders["/M/"].subfolders = {"Y", "X"};
    fake->folders["/M/"].files = {"z.mbs", "a.mbs"};
    pathLogger walker(fake);
    walker.PathLogInit();
    walker.LogPath(Native("/M/"));
    EXPECT_EQ(Texts(*walker.pathNames()), (std::vector<std::string>{"/M/", "/M/Y/", "/M/X/", "/M/Y/Z/"}));
    EXPECT_EQ(Texts(*walker.fullFileNames()),
              (std::vector<std::string>{"/M/z.mbs", "/M/a.mbs", "/M/X/b.mbs", "/M/Y/Z/c.mbs"}));
}

TEST(PathLogger, FullFileNamesOnlyLeavesTheOtherFileListsEmpty)
{
    pathLogger walker(ExampleTree());
    EXPECT_FALSE(walker.fullFileNamesOnly()); // a new walker
    walker.PathLogInit();
    EXPECT_TRUE(walker.fullFileNamesOnly());
    walker.LogPath(Native("/M"));
    EXPECT_EQ(walker.fullFileNames()->Count(), 3u);
    EXPECT_TRUE(walker.fileNames()->Empty());
    EXPECT_TRUE(walker.pathPointers()->Empty());
    EXPECT_EQ(walker.pathNames()->Count(), 4u);
}

TEST(PathLogger, MissingStartFolderChangesNothing)
{
    pathLogger walker(ExampleTree());
    EXPECT_EQ(walker.Count(), 0);
    walker.PathLogInit();
    walker.LogPath(Native("/nowhere"));
    EXPECT_EQ(walker.Count(), 0);
    EXPECT_TRUE(walker.pathNames()->Empty());
    EXPECT_TRUE(walker.fullFileNames()->Empty());

    // Count keeps the value of an earlier walk, too.
    walker.PathLogInit();
    walker.LogPath(Native("/M"));
    walker.PathLogInit();
    walker.LogPath(Native("/nowhere"));
    EXPECT_EQ(walker.Count(), 4);
    EXPECT_TRUE(walker.pathNames()->Empty());
}

TEST(PathLogger, TerminateAndInitReleaseTheListsButNotListsHandedOut)
{
    pathLogger walker(ExampleTree());
    walker.PathLogInit();
    walker.setFullFileNamesOnly(false);
    walker.LogPath(Native("/M"));
    const auto kept = walker.fullFileNames();
    const auto keptPointers = walker.pathPointers();
    walker.Terminate();

    EXPECT_EQ(kept->Count(), 3u);
    EXPECT_EQ(keptPointers->Values(), (std::vector<std::int32_t>{1, 2, 4}));
    const auto after = walker.fullFileNames();
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, kept);
    EXPECT_TRUE(after->Empty());
    EXPECT_TRUE(walker.pathNames()->Empty());
    EXPECT_EQ(walker.Count(), 4);
    EXPECT_FALSE(walker.fullFileNamesOnly());

    // The same list object is handed out until it is released.
    EXPECT_EQ(walker.fullFileNames(), after);
    walker.PathLogInit();
    EXPECT_NE(walker.fullFileNames(), after);
}

TEST(PathLogger, ASecondWalkStartsFromNewLists)
{
    pathLogger walker(ExampleTree());
    walker.PathLogInit();
    walker.LogPath(Native("/M"));
    const auto first = walker.fullFileNames();
    walker.LogPath(Native("/M/Y"));
    EXPECT_EQ(first->Count(), 3u);
    EXPECT_EQ(Texts(*walker.fullFileNames()), (std::vector<std::string>{"/M/Y/Z/c.mbs"}));
    EXPECT_EQ(walker.pathNames()->Keys(), (std::vector<std::string>{"K0", "K2"}));
    EXPECT_EQ(walker.Count(), 2);
}

TEST(PathLogger, YieldsAfterEveryFileAndSubfolder)
{
    auto fake = ExampleTree();
    std::vector<std::size_t> filesAtYield;
    std::vector<std::size_t> foldersAtYield;
    pathLogger walker(fake);
    walker.setYield([&] {
        filesAtYield.push_back(walker.fullFileNames()->Count());
        foldersAtYield.push_back(walker.pathNames()->Count());
    });
    walker.PathLogInit();
    walker.LogPath(Native("/M"));
    walker.Terminate();

    // Every intermediate state is seen at some yield, so a window can repaint
    // between any two files or folders.
    for (std::size_t n = 0; n <= 3; ++n)
        EXPECT_NE(std::find(filesAtYield.begin(), filesAtYield.end(), n), filesAtYield.end()) << n;
    for (std::size_t n = 1; n <= 4; ++n)
        EXPECT_NE(std::find(foldersAtYield.begin(), foldersAtYield.end(), n), foldersAtYield.end()) << n;
    EXPECT_TRUE(std::is_sorted(filesAtYield.begin(), filesAtYield.end() - 1));
    // Terminate yields before it releases.
    EXPECT_EQ(filesAtYield.back(), 3u);
}

TEST(PathLogger, ReleasingTheListsDuringAYieldDoesNotDisturbTheWalk)
{
    std::shared_ptr<tovaly::TextList> held;
    pathLogger *self = nullptr;
    int yields = 0;
    pathLogger walker(ExampleTree(), [&] {
        if (++yields == 4) {
            held = self->fullFileNames();
            self->Terminate(); // a nested handler ends the scan's walker
        }
    });
    self = &walker;
    walker.PathLogInit();
    walker.LogPath(Native("/M"));
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->Count(), 3u);
}

TEST(PathLogger, DoesNotEnterAFolderTwice)
{
    // /M/X/back leads to /M again, /M/Y/Z/again to Z itself, and /M/l1 and
    // /M/l2 both lead to /O outside the tree.
    auto fake = ExampleTree();
    fake->folders["/M/"].subfolders = {"X", "Y", "l1", "l2"};
    fake->folders["/M/X/"].subfolders = {"back"};
    fake->folders["/M/X/back/"] = {{"X", "Y"}, {"a.mbs"}, "/M/", 0, 0};
    fake->folders["/M/Y/Z/"].subfolders = {"again"};
    fake->folders["/M/Y/Z/again/"] = {{"again"}, {"c.mbs"}, "/M/Y/Z/", 0, 0};
    fake->folders["/M/l1/"] = {{}, {"o.mbs"}, "/O/", 0, 0};
    fake->folders["/M/l2/"] = {{}, {"o.mbs"}, "/O/", 0, 0};

    pathLogger walker(fake);
    walker.PathLogInit();
    walker.LogPath(Native("/M"));
    EXPECT_EQ(Texts(*walker.pathNames()), (std::vector<std::string>{"/M/", "/M/X/", "/M/Y/", "/M/l1/", "/M/Y/Z/"}));
    EXPECT_EQ(walker.pathNames()->Keys(), (std::vector<std::string>{"K0", "K2", "K3", "K4", "K5"}));
    EXPECT_EQ(Texts(*walker.fullFileNames()),
              (std::vector<std::string>{"/M/a.mbs", "/M/X/b.mbs", "/M/l1/o.mbs", "/M/Y/Z/c.mbs"}));
    EXPECT_TRUE(walker.skippedFolders().empty());
}

TEST(PathLogger, SkipsFoldersThatCannotBeListedAndGoesOn)
{
    auto fake = ExampleTree();
    fake->folders["/M/X/"].subfolders = {"deep"};
    fake->folders["/M/X/deep/"] = {{}, {"d.mbs"}, "", 0, 0};
    fake->folders["/M/X/"].subfolderError = EACCES; // denied: nothing below X
    fake->folders["/M/Y/Z/"].fileError = ENOENT;    // vanished after it was queued

    pathLogger walker(fake);
    walker.PathLogInit();
    walker.setFullFileNamesOnly(false);
    walker.LogPath(Native("/M"));

    EXPECT_EQ(Texts(*walker.pathNames()), (std::vector<std::string>{"/M/", "/M/X/", "/M/Y/", "/M/Y/Z/"}));
    EXPECT_EQ(Texts(*walker.fullFileNames()), (std::vector<std::string>{"/M/a.mbs"}));
    EXPECT_EQ(walker.Count(), 2);
    ASSERT_EQ(walker.skippedFolders().size(), 2u);
    EXPECT_EQ(Posix(walker.skippedFolders()[0].path), "/M/X/");
    EXPECT_EQ(walker.skippedFolders()[0].errorCode, EACCES);
    EXPECT_EQ(walker.skippedFolders()[0].reason, "Permission denied");
    EXPECT_EQ(Posix(walker.skippedFolders()[1].path), "/M/Y/Z/");
    EXPECT_EQ(walker.skippedFolders()[1].errorCode, ENOENT);
    // A folder that could not be listed is not opened a second time.
    EXPECT_EQ(std::count(fake->listed.begin(), fake->listed.end(), "/M/X/"), 0);

    walker.PathLogInit();
    EXPECT_TRUE(walker.skippedFolders().empty());
}

TEST_F(TempTree, WalksARealTree)
{
    File("a.mbs");
    File("X/b.mbs");
    File("Y/Z/c.mbs");
    File("Y/.hidden.mbs");
    fs::create_directories(m_root / ".hiddendir");
    File(".hiddendir/h.txt");

    pathLogger walker;
    walker.PathLogInit();
    walker.setFullFileNamesOnly(false);
    walker.LogPath(Root()); // no trailing separator: one is added

    const auto paths = walker.pathNames();
    ASSERT_EQ(paths->Count(), 5u);
    EXPECT_EQ(paths->Item(1), Slash());
    EXPECT_EQ(paths->Key(1), "K0");
    EXPECT_EQ(std::set<std::string>(paths->begin(), paths->end()),
              (std::set<std::string>{Slash(), Slash() + N("X/"), Slash() + N("Y/"), Slash() + N(".hiddendir/"),
                                     Slash() + N("Y/Z/")}));
    EXPECT_EQ(paths->Item(5), Slash() + N("Y/Z/")); // the only second-level folder comes last

    const auto full = walker.fullFileNames();
    EXPECT_EQ(std::set<std::string>(full->begin(), full->end()),
              (std::set<std::string>{Slash() + N("a.mbs"), Slash() + N("X/b.mbs"), Slash() + N("Y/Z/c.mbs"),
                                     Slash() + N("Y/.hidden.mbs"), Slash() + N(".hiddendir/h.txt")}));
    EXPECT_EQ(full->Item(1), Slash() + N("a.mbs"));
    EXPECT_EQ(full->Item(5), Slash() + N("Y/Z/c.mbs"));
    EXPECT_EQ(walker.Count(), 6);

    // Each file's pointer names its folder, and folders are grouped in order.
    for (std::size_t k = 1; k <= full->Count(); ++k) {
        const auto folder = paths->Item(static_cast<std::size_t>(walker.pathPointers()->Item(k)));
        EXPECT_EQ(full->Item(k), folder + walker.fileNames()->Item(k));
        if (k > 1) {
            EXPECT_LE(walker.pathPointers()->Item(k - 1), walker.pathPointers()->Item(k));
        }
    }

    // With a trailing separator the start folder is used unchanged.
    pathLogger again;
    again.PathLogInit();
    again.LogPath(Slash());
    EXPECT_EQ(again.pathNames()->Item(1), Slash());
}

TEST_F(TempTree, ALargeFolderIsListedWithYieldsInBetween)
{
    const std::size_t files = 2 * tovaly::kEntriesPerYield + 10;
    for (std::size_t i = 0; i < files; ++i)
        File(std::to_string(i) + ".mbs");
    for (const char *sub : {"a", "b", "c"})
        fs::create_directories(m_root / sub);

    std::size_t yields = 0;
    const auto real = tovaly::MakeRealFileSystem([&] { ++yields; });
    const FolderListing subfolders = real->ListSubfolders(Slash());
    const FolderListing listed = real->ListFiles(Slash()); // from the same pass: no more yields
    EXPECT_EQ(yields, (files + 3) / tovaly::kEntriesPerYield);
    EXPECT_EQ(listed.names.size(), files);
    EXPECT_EQ(subfolders.names.size(), 3u);

    // A walker that makes its own real file system yields through its own
    // function while the folder is listed as well; one given a file system
    // yields only at its own points.
    const auto walk = [this, files](std::shared_ptr<FileSystemService> fileSystem) {
        std::size_t count = 0;
        pathLogger walker(std::move(fileSystem), [&] { ++count; });
        walker.PathLogInit();
        walker.LogPath(Root());
        EXPECT_EQ(walker.fullFileNames()->Count(), files);
        return count;
    };
    EXPECT_EQ(walk(nullptr) - walk(tovaly::MakeRealFileSystem()), (files + 3) / tovaly::kEntriesPerYield);
}

// Each pair in the order a folder listing gives it; the byte order of UTF-8
// text says otherwise for most of them.
TEST(ListingOrder, NamesComeAsAnNtfsFolderListsThem)
{
    const std::vector<std::pair<std::string, std::string>> inOrder = {
        {"10.mbs", "9.mbs"},
        {"a.mbs", "B.mbs"},         // letters folded to upper case
        {"zeta.mbs", "_alpha.mbs"}, // 'Z' < '_' < 'z'
        {"mail", "mail.mbs"},       // a prefix first
        {"Inbox.mbs", "inbox.mbs"}, // equal folded: by code unit
        {"F.mbs", "\xC3\xA9.mbs"},  // F < é (folded É, U+00C9)
        {"\xC3\xA9"
         "a.mbs",
         "\xC3\x89"
         "b.mbs"}, // éa < Éb
        {"\xC5\x82"
         "a.mbs",
         "\xC5\x81"
         "b.mbs"},                                        // ła < Łb
        {"\xCE\xB1\xCE\xB2.mbs", "\xCE\x92.mbs"},         // αβ < Β
        {"\xD0\xB6\xD0\xB0.mbs", "\xD0\x96\xD1\x83.mbs"}, // жа < Жу
        {"\xEF\xBD\x81.mbs", "\xEF\xBC\xA2.mbs"},         // full-width ａ < Ｂ
        {"\xF0\x9F\x98\x80.mbs", "\xEF\xBC\xA1.mbs"},     // U+1F600 < U+FF21 in UTF-16
        {"\xFE", "\xFF"},                                 // not UTF-8: by byte
    };
    for (const auto &[first, second] : inOrder) {
        EXPECT_TRUE(tovaly::NameListedBefore(first, second)) << first << " | " << second;
        EXPECT_FALSE(tovaly::NameListedBefore(second, first)) << second << " | " << first;
        EXPECT_FALSE(tovaly::NameListedBefore(first, first)) << first;
    }
    // A folder of ASCII names is sorted without their UTF-16 keys: the same
    // order all the same.
    std::vector<std::string> ascii = {"b", "_", "A", "a", "[", "ab", "aB", "a1", "Z", "z", "~", "10", "9", "", "a.mbs"};
    std::vector<std::string> byKeys = ascii;
    std::sort(byKeys.begin(), byKeys.end(), tovaly::NameListedBefore);
    tovaly::SortAsListed(ascii);
    EXPECT_EQ(ascii, byKeys);
    EXPECT_EQ(ascii.front(), "");
}

// The real file system hands the walker every folder's names in that order,
// whatever order the names were made in and the system keeps them in.
TEST_F(TempTree, TheRealFileSystemListsEveryFolderInOneOrder)
{
    const std::vector<std::string> files = {"10.mbs", "9.mbs", "a.mbs", "B.mbs", "F.mbs", "\xC3\xA9.mbs", "_x.mbs"};
    const std::vector<std::string> folders = {"Alpha", "beta", "\xC3\x89t\xC3\xA9", "_z"};
    for (auto name = files.rbegin(); name != files.rend(); ++name)
        std::ofstream(m_root / tovaly::PathFromUtf8(*name)) << "x";
    for (auto name = folders.rbegin(); name != folders.rend(); ++name)
        fs::create_directories(m_root / tovaly::PathFromUtf8(*name));
    for (const std::string &name : files)
        std::ofstream(m_root / "beta" / tovaly::PathFromUtf8(name)) << "x";

    const auto real = tovaly::MakeRealFileSystem();
    EXPECT_EQ(real->ListSubfolders(Slash()).names, (std::vector<std::string>{"Alpha", "beta", "_z", folders[2]}));
    const std::vector<std::string> sorted = {"10.mbs", "9.mbs", "a.mbs", "B.mbs", "F.mbs", "_x.mbs", files[5]};
    EXPECT_EQ(real->ListFiles(Slash()).names, sorted);

    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(Root());
    std::vector<std::string> expected;
    for (const std::string &name : sorted)
        expected.push_back(Slash() + name);
    for (const std::string &name : sorted)
        expected.push_back(Slash() + N("beta/") + name);
    EXPECT_EQ(Values(*walker.fullFileNames()), expected);
}

TEST_F(TempTree, EmptyFolder)
{
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(Root());
    EXPECT_EQ(Values(*walker.pathNames()), std::vector<std::string>{Slash()});
    EXPECT_TRUE(walker.fullFileNames()->Empty());
    EXPECT_EQ(walker.Count(), 1);
}

#ifndef _WIN32
TEST_F(TempTree, ListsOnlyFilesAndFoldersFollowingLinks)
{
    File("real/r.mbs");
    fs::create_directories(m_root / "outside");
    File("outside/o.mbs");
    fs::create_directories(m_root / "tree/sub");
    File("tree/sub/s.mbs");
    fs::create_directory_symlink(m_root / "tree", m_root / "tree/sub/loop"); // a cycle
    fs::create_directory_symlink(m_root / "outside", m_root / "tree/out1");
    fs::create_directory_symlink(m_root / "outside", m_root / "tree/sub/out2");
    fs::create_symlink(m_root / "real/r.mbs", m_root / "tree/linked.mbs");
    fs::create_symlink(m_root / "missing", m_root / "tree/dangling.mbs");
    ASSERT_EQ(::mkfifo((m_root / "tree/pipe.mbs").c_str(), 0600), 0);

    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath((m_root / "tree").string());

    const auto paths = walker.pathNames();
    const std::string tree = Slash() + N("tree/");
    EXPECT_EQ(std::set<std::string>(paths->begin(), paths->end()),
              (std::set<std::string>{tree, tree + "sub/", tree + "out1/"}));
    const auto full = walker.fullFileNames();
    EXPECT_EQ(std::set<std::string>(full->begin(), full->end()),
              (std::set<std::string>{tree + "linked.mbs", tree + "sub/s.mbs", tree + "out1/o.mbs"}));
    EXPECT_TRUE(walker.skippedFolders().empty());

    // What is neither a file nor a folder is recorded with its reason.
    std::map<std::string, std::pair<int, std::string>> skipped;
    for (const tovaly::SkippedPath &entry : walker.skippedEntries())
        skipped[entry.path] = {entry.errorCode, entry.reason};
    EXPECT_EQ(skipped, (std::map<std::string, std::pair<int, std::string>>{
                           {tree + "dangling.mbs", {ENOENT, "not a regular file: the link leads nowhere"}},
                           {tree + "pipe.mbs", {0, "not a regular file"}}}));

    // A new walk reports only its own.
    walker.LogPath((m_root / "outside").string());
    EXPECT_TRUE(walker.skippedEntries().empty());
}

TEST_F(TempTree, AFolderThatCanBeReadButNotSearchedIsSkipped)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root searches every folder";
    File("half/a.mbs");
    fs::create_directories(m_root / "half/sub");
    fs::create_symlink(m_root / "half/a.mbs", m_root / "half/link.mbs");
    File("other/b.mbs");
    fs::permissions(m_root / "half", fs::perms::owner_exec, fs::perm_options::remove);

    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(Root());
    const auto full = walker.fullFileNames();
    EXPECT_EQ(std::vector<std::string>(full->begin(), full->end()), std::vector<std::string>{Slash() + "other/b.mbs"});
    ASSERT_EQ(walker.skippedFolders().size(), 1u);
    EXPECT_EQ(walker.skippedFolders()[0].path, Slash() + "half/");
    EXPECT_EQ(walker.skippedFolders()[0].errorCode, EACCES);
    EXPECT_TRUE(walker.skippedEntries().empty());
}

TEST_F(TempTree, UnreadableFolderIsSkipped)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root can list every folder; the fake file system covers this case";
    File("open/a.mbs");
    File("closed/b.mbs");
    File("later/c/d.mbs");
    fs::permissions(m_root / "closed", fs::perms::owner_all, fs::perm_options::remove);

    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(Root());
    const auto full = walker.fullFileNames();
    EXPECT_EQ(std::set<std::string>(full->begin(), full->end()),
              (std::set<std::string>{Slash() + N("open/a.mbs"), Slash() + N("later/c/d.mbs")}));
    ASSERT_EQ(walker.skippedFolders().size(), 1u);
    EXPECT_EQ(walker.skippedFolders()[0].path, Slash() + N("closed/"));
    EXPECT_EQ(walker.skippedFolders()[0].errorCode, EACCES);
}
#endif
