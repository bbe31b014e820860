#include "output_layout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace tovaly;
namespace fs = std::filesystem;

namespace {

struct PathPartsCase {
    const char *path;
    PathStyle style;
    const char *folder;
    const char *last;
};

TEST(OutputLayoutTest, FolderOfPathAndLastPathPart)
{
    const std::vector<PathPartsCase> cases = {
        {R"(C:\Users\ann\0001.mbs)", PathStyle::Windows, R"(C:\Users\ann\)", "0001.mbs"},
        {R"(C:\Users\ann\)", PathStyle::Windows, R"(C:\Users\ann\)", ""},
        {"0001.mbs", PathStyle::Windows, "", "0001.mbs"},
        {"", PathStyle::Windows, "", ""},
        // "/" is a name character in the Windows style, "\" in the POSIX one.
        {R"(C:\a/b)", PathStyle::Windows, R"(C:\)", "a/b"},
        {"/home/ann/0001.mbs", PathStyle::Posix, "/home/ann/", "0001.mbs"},
        {"/", PathStyle::Posix, "/", ""},
        {R"(/home/a\b)", PathStyle::Posix, "/home/", R"(a\b)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(FolderOfPath(c.path, c.style), c.folder);
        EXPECT_EQ(LastPathPart(c.path, c.style), c.last);
        EXPECT_EQ(FolderOfPath(c.path, c.style) + LastPathPart(c.path, c.style), c.path);
    }
}

struct NormalCase {
    const char *path;
    PathStyle style;
    const char *normal;
};

TEST(OutputLayoutTest, LexicallyNormal)
{
    const std::vector<NormalCase> cases = {
        {"/a//b/./c", PathStyle::Posix, "/a/b/c"},
        {"/a/b/../c", PathStyle::Posix, "/a/c"},
        {"/a/../../etc/x", PathStyle::Posix, "/etc/x"},
        {"/..", PathStyle::Posix, "/"},
        {"/a/b/", PathStyle::Posix, "/a/b/"},
        {"/a/b/..", PathStyle::Posix, "/a/"},
        {"a/../../b", PathStyle::Posix, "../b"},
        {"../../b/./c", PathStyle::Posix, "../../b/c"},
        {"a/..", PathStyle::Posix, "."},
        {"", PathStyle::Posix, ""},
        {R"(C:\a\..\..\b\x.mbs)", PathStyle::Windows, R"(C:\b\x.mbs)"},
        {R"(C:\a\\.\b\)", PathStyle::Windows, R"(C:\a\b\)"},
        {R"(\\server\share\..\..\..\x)", PathStyle::Windows, R"(\\x)"},
        {R"(C:\Mail 2010.old\x.mbs)", PathStyle::Windows, R"(C:\Mail 2010.old\x.mbs)"},
        // Windows accepts "/" too, so it cannot hide a "..".
        {R"(C:\a/../../b\x)", PathStyle::Windows, R"(C:\b\x)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(LexicallyNormal(c.path, c.style), c.normal);
    }
}

struct MailboxCase {
    const char *source;
    const char *root;
    PathStyle style;
    const char *mirror;
    const char *mailbox;
};

void ExpectMailboxes(const std::vector<MailboxCase> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " under " + c.root);
        const MailboxLocation location = MailboxPathFor(c.source, c.root, c.style);
        EXPECT_EQ(location.mirrorFolder, c.mirror);
        EXPECT_EQ(location.mailboxPath, c.mailbox);
    }
}

TEST(OutputLayoutTest, MailboxPathForWindowsExamples)
{
    const auto w = PathStyle::Windows;
    ExpectMailboxes({
        {R"(C:\Users\ann\Mail\inbox\0001.mbs)", R"(E:\Export\)", w, R"(E:\Export\Users\ann\Mail\inbox\)",
         R"(E:\Export\Users\ann\Mail\inbox\inbox.mbox)"},
        {R"(C:\Users\ann\Mail\inbox\0002.mbs)", R"(E:\Export\)", w, R"(E:\Export\Users\ann\Mail\inbox\)",
         R"(E:\Export\Users\ann\Mail\inbox\inbox.mbox)"},
        // Equal trees on different drives merge.
        {R"(D:\Users\ann\Mail\inbox\0003.mbs)", R"(E:\Export\)", w, R"(E:\Export\Users\ann\Mail\inbox\)",
         R"(E:\Export\Users\ann\Mail\inbox\inbox.mbox)"},
        {R"(C:\Users\ann\Mail\sent\0004.mbs)", R"(E:\Export\)", w, R"(E:\Export\Users\ann\Mail\sent\)",
         R"(E:\Export\Users\ann\Mail\sent\sent.mbox)"},
        {R"(C:\0005.mbs)", R"(E:\Export\)", w, R"(E:\Export\)", R"(E:\Export\Export.mbox)"},
        {R"(C:\Mail\notes\0006.mbs)", R"(E:\)", w, R"(E:\Mail\notes\)", R"(E:\Mail\notes\notes.mbox)"},
        // Names keep case, dots and spaces.
        {R"(C:\Mail 2010.old\0007.mbs)", R"(E:\Export\)", w, R"(E:\Export\Mail 2010.old\)",
         R"(E:\Export\Mail 2010.old\Mail 2010.old.mbox)"},
        // The output root gets its separator when it has none.
        {R"(C:\Mail\x.mbs)", R"(E:\Export)", w, R"(E:\Export\Mail\)", R"(E:\Export\Mail\Mail.mbox)"},
        {"", R"(E:\Export\)", w, R"(E:\Export\)", R"(E:\Export\Export.mbox)"},
    });
}

TEST(OutputLayoutTest, MailboxPathForPosixExamples)
{
    const auto p = PathStyle::Posix;
    ExpectMailboxes({
        {"/home/ann/Mail/inbox/0001.mbs", "/export/", p, "/export/home/ann/Mail/inbox/",
         "/export/home/ann/Mail/inbox/inbox.mbox"},
        {"/0005.mbs", "/export/", p, "/export/", "/export/export.mbox"},
        {"/Mail/notes/0006.mbs", "/", p, "/Mail/notes/", "/Mail/notes/notes.mbox"},
        {"/Mail 2010.old/0007.mbs", "/export", p, "/export/Mail 2010.old/", "/export/Mail 2010.old/Mail 2010.old.mbox"},
        {"", "/export/", p, "/export/", "/export/export.mbox"},
    });
}

TEST(OutputLayoutTest, MailboxPathForNeverLeavesTheOutputRoot)
{
    ExpectMailboxes({
        {"/a/../../etc/x.mbs", "/out/", PathStyle::Posix, "/out/etc/", "/out/etc/etc.mbox"},
        {"//srv//./mail/x.mbs", "/out/", PathStyle::Posix, "/out/srv/mail/", "/out/srv/mail/mail.mbox"},
        {"../../x/y.mbs", "/out/", PathStyle::Posix, "/out/x/", "/out/x/x.mbox"},
        {"../y.mbs", "/out/", PathStyle::Posix, "/out/", "/out/out.mbox"},
        {"Mail/inbox/y.mbs", "/out/", PathStyle::Posix, "/out/Mail/inbox/", "/out/Mail/inbox/inbox.mbox"},
        {R"(C:\a\..\..\..\Windows\x.mbs)", R"(E:\Export\)", PathStyle::Windows, R"(E:\Export\Windows\)",
         R"(E:\Export\Windows\Windows.mbox)"},
        {R"(C:\a/../../..\Windows\x.mbs)", R"(E:\Export\)", PathStyle::Windows, R"(E:\Export\Windows\)",
         R"(E:\Export\Windows\Windows.mbox)"},
        {R"(..\..\x.mbs)", R"(E:\Export\)", PathStyle::Windows, R"(E:\Export\)", R"(E:\Export\Export.mbox)"},
    });
}

TEST(OutputLayoutTest, MailboxPathForUncAndRootCases)
{
    const auto w = PathStyle::Windows;
    ExpectMailboxes({
        // The whole server name is kept.
        {R"(\\server\share\Mail\x.mbs)", R"(E:\Export\)", w, R"(E:\Export\server\share\Mail\)",
         R"(E:\Export\server\share\Mail\Mail.mbox)"},
        {R"(\\server\x.mbs)", R"(E:\Export\)", w, R"(E:\Export\server\)", R"(E:\Export\server\server.mbox)"},
        // A root mirror folder gives a valid name.
        {R"(C:\0001.mbs)", R"(E:\)", w, R"(E:\)", R"(E:\E.mbox)"},
        {R"(C:\0001.mbs)", "E:", w, R"(E:\)", R"(E:\E.mbox)"},
        {"/x.mbs", "/", PathStyle::Posix, "/", "/root.mbox"},
    });
}

// A fresh folder under the test temp folder, removed afterwards.
class EnsureFolderExistsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_base = fs::path(::testing::TempDir()) /
                 ("tovaly_layout_" + std::to_string(stamp) + "_" + std::to_string(counter++));
        fs::create_directories(m_base);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(m_base, ec);
    }
    std::string Native(const fs::path &path) const { return path.string(); }

    fs::path m_base;
};

TEST_F(EnsureFolderExistsTest, CreatesNestedFoldersWithOrWithoutTrailingSeparator)
{
    const fs::path nested = m_base / "Users" / "ann" / "Mail 2010.old" / "inbox";
    EXPECT_TRUE(EnsureFolderExists(Native(nested) + PathSeparator()));
    EXPECT_TRUE(fs::is_directory(nested));

    const fs::path bare = m_base / "a" / "b";
    EXPECT_TRUE(EnsureFolderExists(Native(bare)));
    EXPECT_TRUE(fs::is_directory(bare)); // the innermost folder too
}

TEST_F(EnsureFolderExistsTest, ExistingFolderIsLeftAsItIs)
{
    const fs::path folder = m_base / "inbox";
    fs::create_directories(folder);
    {
        std::ofstream(folder / "inbox.mbox") << "From x\r\n";
    }
    EXPECT_TRUE(EnsureFolderExists(Native(folder) + PathSeparator()));
    EXPECT_TRUE(EnsureFolderExists(Native(folder)));
    EXPECT_EQ(fs::file_size(folder / "inbox.mbox"), 8u);
}

TEST_F(EnsureFolderExistsTest, FileInTheWayFails)
{
    {
        std::ofstream(m_base / "blocker") << "x";
    }
    EXPECT_FALSE(EnsureFolderExists(Native(m_base / "blocker")));
    EXPECT_FALSE(EnsureFolderExists(Native(m_base / "blocker" / "below") + PathSeparator()));
    EXPECT_TRUE(fs::is_regular_file(m_base / "blocker"));
    EXPECT_FALSE(EnsureFolderExists(""));
}

TEST_F(EnsureFolderExistsTest, FolderBesideOthersAndFoldersBehindLinks)
{
    fs::create_directories(m_base / "2010" / "01");
    EXPECT_TRUE(EnsureFolderExists(Native(m_base / "2010" / "02") + PathSeparator()));
    EXPECT_TRUE(fs::is_directory(m_base / "2010" / "02"));
    EXPECT_TRUE(fs::is_directory(m_base / "2010" / "01"));
#ifndef _WIN32
    fs::create_directory_symlink(m_base / "2010", m_base / "linked");
    EXPECT_TRUE(EnsureFolderExists(Native(m_base / "linked")));
    fs::create_directory_symlink(m_base / "nowhere", m_base / "dangling");
    EXPECT_FALSE(EnsureFolderExists(Native(m_base / "dangling") + PathSeparator()));
#endif
}

TEST(OutputLayoutTest, AbsolutePathResolvesAgainstTheCurrentFolder)
{
    const std::string current = fs::current_path().string();
    const std::string expected = WithTrailingSeparator(LexicallyNormal(current)) + "x.mbs";
    EXPECT_EQ(AbsolutePath("x.mbs"), expected);
    EXPECT_EQ(AbsolutePath(std::string("sub") + PathSeparator() + ".." + PathSeparator() + "x.mbs"), expected);
#ifndef _WIN32
    EXPECT_EQ(AbsolutePath("/a/./b/../c.mbs"), "/a/c.mbs");
#endif
}

} // namespace
