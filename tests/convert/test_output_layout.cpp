#include "output_layout.h"
#include "record_file_io.h"

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
        EXPECT_EQ(location.MirrorFolder(), c.mirror);
        EXPECT_EQ(location.Path(), c.mailbox);
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
        // A drive that only shows after "..": what follows it is read as
        // plain names too (found by fuzzing: "b:." left a "." folder).
        {R"(a\..\b:.\x.mbs)", R"(E:\Export\)", PathStyle::Windows, R"(E:\Export\)", R"(E:\Export\Export.mbox)"},
        {R"(a\..\b:.\c\x.mbs)", R"(E:\Export\)", PathStyle::Windows, R"(E:\Export\c\)", R"(E:\Export\c\c.mbox)"},
        {R"(a\..\b:..\..\c\x.mbs)", R"(E:\Export\)", PathStyle::Windows, R"(E:\Export\c\)", R"(E:\Export\c\c.mbox)"},
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

// The account and store layouts, on a store with two accounts, messages in
// no account, a file given on its own and folder names beyond ASCII.
struct LayoutCase {
    const char *source;
    const char *top; // the folder given to the run, "" for a file given on its own
    const char *mailbox;
};

void ExpectAccountMailboxes(const char *root, PathStyle style, const std::vector<LayoutCase> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " from " + c.top + " under " + root);
        const MailboxLocation location = AccountMailboxPathFor(c.source, c.top, root, style);
        EXPECT_EQ(location.Path(), c.mailbox);
        // The mailbox lies right in its mirror folder.
        EXPECT_EQ(FolderOfPath(location.Path(), style), location.MirrorFolder());
        const MailboxLayout layout{MailboxPer::Account, "ignored"};
        EXPECT_EQ(MailboxPathFor(layout, c.source, c.top, root, style).Path(), c.mailbox);
    }
}

TEST(OutputLayoutTest, AccountLayoutPosix)
{
    const auto p = PathStyle::Posix;
    const char *store = "/home/zoë/Почта/store";
    ExpectAccountMailboxes(
        "/out/", p,
        {
            {"/home/zoë/Почта/store/account1/2010/01/05/1.mbs", store, "/out/home/zoë/Почта/store/account1.mbox"},
            {"/home/zoë/Почта/store/account1/2011/12/31/9.mbs", store, "/out/home/zoë/Почта/store/account1.mbox"},
            {"/home/zoë/Почта/store/account2/2010/01/05/1.mbs", store, "/out/home/zoë/Почта/store/account2.mbox"},
            // Given the account folder, or a folder inside it: the same mailbox.
            {"/home/zoë/Почта/store/account2/2010/02/01/3.mbs", "/home/zoë/Почта/store/account2",
             "/out/home/zoë/Почта/store/account2.mbox"},
            {"/home/zoë/Почта/store/account2/2010/02/01/4.mbs", "/home/zoë/Почта/store/account2/2010/",
             "/out/home/zoë/Почта/store/account2.mbox"},
            // Given on its own, a file in an account still goes to the account.
            {"/home/zoë/Почта/store/account1/2010/01/05/2.mbs", "", "/out/home/zoë/Почта/store/account1.mbox"},
            // In no account: the mailbox of the folder given, beside its mirror.
            {"/home/zoë/Почта/store/Entwürfe/5.mbs", store, "/out/home/zoë/Почта/store.mbox"},
            {"/home/zoë/Почта/store/6.mbs", "/home/zoë/Почта/store/", "/out/home/zoë/Почта/store.mbox"},
            {"/home/zoë/Почта/store/Entwürfe/7.mbs", "/home/zoë/Почта/store/Entwürfe",
             "/out/home/zoë/Почта/store/Entwürfe.mbox"},
            {"/home/zoë/Desktop/été/8.mbs", "", "/out/home/zoë/Desktop/été.mbox"},
            // Two stores never share a mailbox.
            {"/backup/store/account1/2010/01/05/1.mbs", "/backup/store", "/out/backup/store/account1.mbox"},
            // The innermost account folder counts; the name keeps its spelling.
            {"/srv/account7/store/Account12/2010/x.mbs", "/srv/account7/store",
             "/out/srv/account7/store/Account12.mbox"},
            {"/srv/account7/store/accounts/x.mbs", "/srv/account7/store", "/out/srv/account7.mbox"},
            {"/srv/store/account/x.mbs", "/srv/store", "/out/srv/store.mbox"},
            {"/srv/store/account1a/x.mbs", "/srv/store", "/out/srv/store.mbox"},
            {"/account3/x.mbs", "/", "/out/account3.mbox"},
        });
}

TEST(OutputLayoutTest, AccountLayoutWindows)
{
    const auto w = PathStyle::Windows;
    const char *store = R"(C:\Users\Zoë\AppData\Opera\Почта\store)";
    ExpectAccountMailboxes(
        R"(E:\Export\)", w,
        {
            {R"(C:\Users\Zoë\AppData\Opera\Почта\store\account1\2010\01\05\1.mbs)", store,
             R"(E:\Export\Users\Zoë\AppData\Opera\Почта\store\account1.mbox)"},
            {R"(C:\Users\Zoë\AppData\Opera\Почта\store\account2\2010\01\05\1.mbs)", store,
             R"(E:\Export\Users\Zoë\AppData\Opera\Почта\store\account2.mbox)"},
            // "/" separates too; another drive with the same tree merges.
            {R"(D:\Users\Zoë\AppData\Opera\Почта\store/account2/2011\3.mbs)", "",
             R"(E:\Export\Users\Zoë\AppData\Opera\Почта\store\account2.mbox)"},
            {R"(C:\Users\Zoë\AppData\Opera\Почта\store\Entwürfe\5.mbs)", store,
             R"(E:\Export\Users\Zoë\AppData\Opera\Почта\store.mbox)"},
            {R"(C:\Users\Zoë\Desktop\été\8.mbs)", "", R"(E:\Export\Users\Zoë\Desktop\été.mbox)"},
            {R"(\\nas\Mail\store\account1\2010\x.mbs)", R"(\\nas\Mail\store)",
             R"(E:\Export\nas\Mail\store\account1.mbox)"},
            {R"(\\nas\Mail\store\x.mbs)", R"(\\nas\Mail\store\)", R"(E:\Export\nas\Mail\store.mbox)"},
            {R"(C:\account3\x.mbs)", R"(C:\)", R"(E:\Export\account3.mbox)"},
        });
}

TEST(OutputLayoutTest, AccountLayoutRootsAndClimbing)
{
    // A top folder that is a root lays out like a file in that root.
    ExpectAccountMailboxes("/out/", PathStyle::Posix,
                           {
                               {"/x.mbs", "/", "/out/out.mbox"},
                               {"/x.mbs", "", "/out/out.mbox"},
                               // ".." never leads outside the output folder.
                               {"/a/../../account1/x.mbs", "/a/../..", "/out/account1.mbox"},
                               {"../../store/account1/1.mbs", "../../store", "/out/store/account1.mbox"},
                               {"../../store/1.mbs", "../../store", "/out/store.mbox"},
                               {"../x.mbs", "..", "/out/out.mbox"},
                               {"x.mbs", "", "/out/out.mbox"},
                           });
    ExpectAccountMailboxes("/", PathStyle::Posix, {{"/x.mbs", "/", "/root.mbox"}});
    ExpectAccountMailboxes(R"(E:\)", PathStyle::Windows,
                           {
                               {R"(C:\x.mbs)", R"(C:\)", R"(E:\E.mbox)"},
                               {R"(C:\a\..\..\account1\x.mbs)", R"(C:\)", R"(E:\account1.mbox)"},
                               {R"(C:\a/../../x.mbs)", R"(C:\a/../..)", R"(E:\E.mbox)"},
                           });
}

TEST(OutputLayoutTest, StoreLayout)
{
    struct Case {
        const char *root;
        const char *name;
        PathStyle style;
        const char *mailbox;
    };
    const std::vector<Case> cases = {
        {"/out/", "", PathStyle::Posix, "/out/opera.mbox"},
        {"/out", "opera", PathStyle::Posix, "/out/opera.mbox"},
        {"/out/", "Alle Post", PathStyle::Posix, "/out/Alle Post.mbox"},
        {"/out/", "Почта.MBOX", PathStyle::Posix, "/out/Почта.MBOX"},
        {"/out/", "a:b", PathStyle::Posix, "/out/a:b.mbox"},
        {"/out/", R"(a\b)", PathStyle::Posix, R"(/out/a\b.mbox)"},
        // Names that would leave the folder, or name none, give the default.
        {"/out/", "../x", PathStyle::Posix, "/out/opera.mbox"},
        {"/out/", "..", PathStyle::Posix, "/out/opera.mbox"},
        {"/out/", ".mbox", PathStyle::Posix, "/out/opera.mbox"},
        {R"(E:\Export)", "", PathStyle::Windows, R"(E:\Export\opera.mbox)"},
        {R"(E:\)", "Zoë", PathStyle::Windows, R"(E:\Zoë.mbox)"},
        {R"(E:\Export\)", "a:b", PathStyle::Windows, R"(E:\Export\opera.mbox)"},
        {R"(E:\Export\)", R"(..\x)", PathStyle::Windows, R"(E:\Export\opera.mbox)"},
        {R"(E:\Export\)", "../x", PathStyle::Windows, R"(E:\Export\opera.mbox)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " under " + c.root);
        const MailboxLocation location = StoreMailboxPathFor(c.root, c.name, c.style);
        EXPECT_EQ(location.Path(), c.mailbox);
        EXPECT_EQ(location.MirrorFolder(), WithTrailingSeparator(c.root, c.style));
        const MailboxLayout layout{MailboxPer::Store, c.name};
        for (const char *source : {"/a/b/1.mbs", R"(C:\a\account1\1.mbs)", ""})
            EXPECT_EQ(MailboxPathFor(layout, source, "/a", c.root, c.style).Path(), c.mailbox);
    }
}

TEST(OutputLayoutTest, FolderLayoutIsTheMirrorRule)
{
    const MailboxLayout layout; // the default
    EXPECT_EQ(layout.per, MailboxPer::Folder);
    for (const auto style : {PathStyle::Posix, PathStyle::Windows}) {
        for (const char *source : {"/home/zoë/store/account1/2010/01/05/1.mbs", R"(C:\store\account2\x.mbs)"}) {
            const MailboxLocation expected = MailboxPathFor(source, "/out/", style);
            const MailboxLocation got = MailboxPathFor(layout, source, "/home", "/out/", style);
            EXPECT_EQ(got.Path(), expected.Path());
            EXPECT_EQ(got.MirrorFolder(), expected.MirrorFolder());
        }
    }
}

TEST(OutputLayoutTest, LayoutNamesAndMailboxNames)
{
    EXPECT_EQ(ParseMailboxPer("folder"), MailboxPer::Folder);
    EXPECT_EQ(ParseMailboxPer("account"), MailboxPer::Account);
    EXPECT_EQ(ParseMailboxPer("store"), MailboxPer::Store);
    for (const char *bad : {"", "Store", "accounts", "folder ", "day"})
        EXPECT_FALSE(ParseMailboxPer(bad).has_value()) << bad;

    EXPECT_EQ(MailboxFileName("opera"), "opera.mbox");
    EXPECT_EQ(MailboxFileName("all.mbox"), "all.mbox");
    EXPECT_EQ(MailboxFileName("all.Mbox"), "all.Mbox");
    EXPECT_EQ(MailboxFileName("all.mbox.old"), "all.mbox.old.mbox");
    EXPECT_EQ(MailboxFileName("x"), "x.mbox");

    for (const char *good : {"opera", "Alle Post", "a.b", "...", "Почта"}) {
        EXPECT_TRUE(IsPlainMailboxName(good, PathStyle::Posix)) << good;
        EXPECT_TRUE(IsPlainMailboxName(good, PathStyle::Windows)) << good;
    }
    for (const char *bad : {"", ".", "..", ".MBOX", "a/b", "/", "a\nb", "a\tb"}) {
        EXPECT_FALSE(IsPlainMailboxName(bad, PathStyle::Posix)) << bad;
        EXPECT_FALSE(IsPlainMailboxName(bad, PathStyle::Windows)) << bad;
    }
    for (const char *windowsOnly : {R"(a\b)", "C:", "a:b", "a*", "a?", "a\"b", "<a>", "a|b"}) {
        EXPECT_TRUE(IsPlainMailboxName(windowsOnly, PathStyle::Posix)) << windowsOnly;
        EXPECT_FALSE(IsPlainMailboxName(windowsOnly, PathStyle::Windows)) << windowsOnly;
    }
    EXPECT_FALSE(IsPlainMailboxName(std::string_view("a\0b", 3), PathStyle::Posix));

    for (const char *account : {"account1", "account07", "ACCOUNT2", "Account123"})
        EXPECT_TRUE(IsAccountFolderName(account)) << account;
    for (const char *other : {"account", "accounts", "account1a", "myaccount1", "account-1", "1"})
        EXPECT_FALSE(IsAccountFolderName(other)) << other;

    // A store mailbox name too long for a file name is shortened like a
    // long folder's mailbox name, and stays the same for the same name.
    const std::string longName(300, 'n');
    const std::string file = MailboxFileName(longName);
    EXPECT_LE(file.size(), 255u);
    EXPECT_TRUE(file.ends_with(".mbox"));
    EXPECT_EQ(MailboxFileName(longName + ".mbox"), file);
    EXPECT_NE(MailboxFileName(longName + "x"), file);
}

TEST(OutputLayoutTest, WindowsOutputRootMayUseForwardSlashes)
{
    // Windows takes "/" as a separator in the output root as well (found by
    // fuzzing: the root's own name held a "/" and named the mailbox).
    const auto w = PathStyle::Windows;
    ExpectMailboxes({
        {R"(C:\0001.mbs)", "E:/Export/", w, R"(E:\Export\)", R"(E:\Export\Export.mbox)"},
        {R"(C:\0001.mbs)", "E:/Export", w, R"(E:\Export\)", R"(E:\Export\Export.mbox)"},
        {R"(C:\Mail\x.mbs)", "E:/Mail/Export", w, R"(E:\Mail\Export\Mail\)", R"(E:\Mail\Export\Mail\Mail.mbox)"},
        {R"(C:\0001.mbs)", "E:/", w, R"(E:\)", R"(E:\E.mbox)"},
    });
    // In the POSIX style "\" stays a name character.
    ExpectMailboxes({{"/x.mbs", R"(/a\b/)", PathStyle::Posix, R"(/a\b/)", R"(/a\b/a\b.mbox)"}});
}

// The file name of a mailbox path (what follows the last separator).
std::string MailboxFileName(const MailboxLocation &location, PathStyle style)
{
    EXPECT_EQ(location.Path().rfind(location.MirrorFolder(), 0), 0u);
    return LastPathPart(location.Path(), style);
}

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80         ? 1
                                   : (lead >> 5) == 6  ? 2
                                   : (lead >> 4) == 14 ? 3
                                   : (lead >> 3) == 30 ? 4
                                                       : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

TEST(OutputLayoutTest, LongFolderNamesGiveMailboxNamesThatFit)
{
    for (const PathStyle style : {PathStyle::Posix, PathStyle::Windows}) {
        const std::string sep(1, PathSeparator(style));
        const std::string source = style == PathStyle::Posix ? sep : "C:" + sep;
        const std::string root = style == PathStyle::Posix ? "/out/" : R"(E:\out\)";
        const auto mailboxOf = [&](const std::string &folder) {
            return MailboxPathFor(source + "Mail" + sep + folder + sep + "1.mbs", root, style);
        };
        SCOPED_TRACE(sep);

        // Up to 250 bytes a name is kept as it is: with ".mbox" it fits.
        const std::string fits(250, 'a');
        EXPECT_EQ(MailboxFileName(mailboxOf(fits), style), fits + ".mbox");

        for (const std::size_t length : {251u, 254u, 255u}) {
            const std::string name = std::string(length - 1, 'b') + "c";
            const MailboxLocation location = mailboxOf(name);
            const std::string file = MailboxFileName(location, style);
            SCOPED_TRACE(length);
            EXPECT_EQ(location.MirrorFolder(), root + "Mail" + sep + name + sep); // folders are never renamed
            EXPECT_LE(file.size(), 255u);
            // Recognisable: it starts with the name and says that it was shortened.
            EXPECT_EQ(file.substr(0, 200), name.substr(0, 200));
            ASSERT_GE(file.size(), 14u);
            const std::string tail = file.substr(file.size() - 14);
            EXPECT_EQ(tail[0], '~') << file;
            EXPECT_EQ(tail.substr(1, 8).find_first_not_of("0123456789abcdef"), std::string::npos) << file;
            EXPECT_EQ(tail.substr(9), ".mbox");
            // Stable: another file of the folder goes into the same mailbox.
            EXPECT_EQ(MailboxPathFor(source + "Mail" + sep + name + sep + "2.mbs", root, style).Path(),
                      location.Path());
        }

        // Names that differ only past the cut still get mailboxes of their own
        // (they matter when the same tree is mirrored under one output).
        const std::string common(300, 'x');
        const std::string first = MailboxFileName(mailboxOf(common.substr(0, 254) + "1"), style);
        const std::string second = MailboxFileName(mailboxOf(common.substr(0, 254) + "2"), style);
        EXPECT_NE(first, second);
        EXPECT_EQ(first.size(), second.size());

        // A cut never splits a UTF-8 character: 85 three-byte letters are 255 bytes.
        std::string wide;
        for (int i = 0; i < 85; ++i)
            wide += "\xE2\x82\xAC"; // the euro sign
        for (const std::string &name : {wide, "a" + wide.substr(0, 252), "ab" + wide.substr(0, 252)}) {
            const std::string file = MailboxFileName(mailboxOf(name), style);
            EXPECT_LE(file.size(), 255u);
            EXPECT_TRUE(IsValidUtf8(file)) << file;
            EXPECT_EQ(file.substr(0, 150), name.substr(0, 150));
        }
    }

    // The output root's own name follows the same rule when it names the mailbox.
    const std::string longRoot = "/" + std::string(255, 'r') + "/";
    const MailboxLocation atRoot = MailboxPathFor("/x.mbs", longRoot, PathStyle::Posix);
    EXPECT_EQ(atRoot.MirrorFolder(), longRoot);
    EXPECT_LE(MailboxFileName(atRoot, PathStyle::Posix).size(), 255u);
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
        std::ofstream(folder / "inbox.mbox", std::ios::binary) << "From x\r\n";
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
    const FolderMade below = EnsureFolderExists(Native(m_base / "blocker" / "below") + PathSeparator());
    EXPECT_FALSE(below);
    EXPECT_EQ(below.error, std::errc::not_a_directory) << below.error.message();
    EXPECT_TRUE(fs::is_regular_file(m_base / "blocker"));
    EXPECT_FALSE(EnsureFolderExists(""));
    EXPECT_TRUE(EnsureFolderExists(Native(m_base / "made")).error == std::error_code());
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

// A location holds the output folder, the folders below it and the file,
// each a single name, so the folders are made and the mailbox opened one
// name at a time without the path being split again; a location whose
// names could stay put, climb or hold a separator is refused.
TEST(OutputLayoutTest, ALocationIsTheRootAndSingleNamesBelowIt)
{
    using Names = std::vector<std::string>;
    struct Case {
        MailboxLocation location;
        bool accepted;
        const char *firstFolder; // FolderPath(1)
        const char *mirror;
    };
    const auto made = [](Names folders, std::string file, PathStyle style = PathStyle::Posix) {
        const char *root = style == PathStyle::Posix ? "/out/" : R"(E:\Out\)";
        return MailboxLocation{root, std::move(folders), std::move(file), style};
    };
    const Case cases[] = {
        {MailboxPathFor("/home/ann/../bob/./inbox/1.mbs", "/out", PathStyle::Posix), true, "/out/home",
         "/out/home/bob/inbox/"},
        {MailboxPathFor("/x.mbs", "/out", PathStyle::Posix), true, "/out/", "/out/"},
        {MailboxPathFor(R"(C:\Users\ann\x.mbs)", "E:/Out", PathStyle::Windows), true, R"(E:\Out\Users)",
         R"(E:\Out\Users\ann\)"},
        {StoreMailboxPathFor("/out", "all", PathStyle::Posix), true, "/out/", "/out/"},
        {made({"a", ".."}, "x.mbox"), false, "/out/a", "/out/a/../"},
        {made({"."}, "x.mbox"), false, "/out/.", "/out/./"},
        {made({"a", ""}, "x.mbox"), false, "/out/a", "/out/a//"},
        {made({"a/b"}, "x.mbox"), false, "/out/a/b", "/out/a/b/"},
        {made({"a"}, ".."), false, "/out/a", "/out/a/"},
        {made({R"(a\b)"}, "x.mbox"), true, R"(/out/a\b)", R"(/out/a\b/)"},
        {made({R"(a\b)"}, "x.mbox", PathStyle::Windows), false, R"(E:\Out\a\b)", R"(E:\Out\a\b\)"},
        {made({"a", "b"}, "x.mbox", PathStyle::Windows), true, R"(E:\Out\a)", R"(E:\Out\a\b\)"},
        {made({"a/b"}, "x.mbox", PathStyle::Windows), false, R"(E:\Out\a/b)", R"(E:\Out\a/b\)"},
        {made({"a"}, ""), true, "/out/a", "/out/a/"},
    };
    for (const Case &c : cases) {
        const MailboxLocation &at = c.location;
        EXPECT_EQ(NamesStayBelowRoot(at), c.accepted) << at.Path();
        EXPECT_EQ(at.FolderPath(1), c.firstFolder);
        EXPECT_EQ(at.MirrorFolder(), c.mirror);
        EXPECT_EQ(at.Path(), at.MirrorFolder() + at.file);
    }
    const Names three = {"a", "b", "c"};
    EXPECT_EQ(MailboxLocation({"/out", three, "", PathStyle::Posix}).FolderPath(3), "/out/a/b/c");
    EXPECT_EQ(MailboxLocation({R"(E:\Out\)", three, "", PathStyle::Windows}).FolderPath(2), R"(E:\Out\a\b)");
    EXPECT_EQ(MailboxLocation({"/out/", three, "", PathStyle::Posix}).FolderPath(0), "/out/");

    // The whole path of a mailbox with no output folder is its file name.
    const MailboxLocation anywhere = MailboxLocation::At("../m.mbox", PathStyle::Posix);
    EXPECT_TRUE(anywhere.root.empty() && anywhere.folders.empty());
    EXPECT_EQ(anywhere.Path(), "../m.mbox");
    EXPECT_TRUE(NamesStayBelowRoot(anywhere));
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
