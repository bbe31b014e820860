#include "add_folder_command.h"
#include "application_title.h"
#include "gui_test.h"
#include "path_logger.h"
#include "scripted_interaction.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tovaly {
namespace {

using tovaly::testing::Message;
using tovaly::testing::ScriptedInteraction;

// A tree in memory: folder path (ending in the separator) to its listing.
class FakeFileSystem final : public FileSystemService {
public:
    struct Folder {
        std::vector<std::string> subfolders;
        std::vector<std::string> files;
        bool unreadable = false;
    };
    std::map<std::string, Folder> folders;
    std::vector<std::string> asked; // every path asked about by FolderExists

    bool FolderExists(const std::string &path) override
    {
        asked.push_back(path);
        return folders.count(path) != 0;
    }
    FolderListing ListSubfolders(const std::string &folder) override { return List(folder, true); }
    FolderListing ListFiles(const std::string &folder) override { return List(folder, false); }
    std::optional<std::string> FolderIdentity(const std::string &path) override { return path; }

private:
    FolderListing List(const std::string &folder, bool subfolders)
    {
        const Folder &f = folders.at(folder);
        if (f.unreadable)
            return FolderListing::Failure(EACCES, "Permission denied");
        FolderListing listing;
        listing.names = subfolders ? f.subfolders : f.files;
        return listing;
    }
};

std::string Native(const char *path)
{
    return QDir::toNativeSeparators(QString::fromLatin1(path)).toStdString();
}

class AddFolderCommandTest : public tovaly::testing::GuiTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp.isValid());
        list = std::make_unique<SourceFileList>(&grid, &count, &pump);
        convert.setEnabled(false);
    }

    void Yielded()
    {
        ++yields;
        const QCursor *cursor = QGuiApplication::overrideCursor();
        busyAtEveryYield = busyAtEveryYield && cursor != nullptr && cursor->shape() == Qt::WaitCursor;
        if (onYield)
            onYield();
    }

    AddFolderContext Context(std::shared_ptr<FileSystemService> fileSystem = nullptr)
    {
        return {list.get(),
                &interaction,
                nullptr,
                {.enableConvert = [this](bool on) { convert.setEnabled(on); },
                 .busy = [this](bool busy) { busyCalls.push_back(busy); }},
                &pump,
                std::move(fileSystem)};
    }

    void Run(std::shared_ptr<FileSystemService> fileSystem = nullptr)
    {
        RunAddFolderCommand(Context(std::move(fileSystem)));
    }

    void RunOn(const QString &folder)
    {
        interaction.folders.push_back(folder);
        Run();
    }

    QString Make(const QString &relative)
    {
        const QString path = QDir::toNativeSeparators(temp.path() + QLatin1Char('/') + relative);
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Subject: x\r\n\r\nbody\r\n");
        return path;
    }

    QString Root() const { return QDir::toNativeSeparators(temp.path()); }

    QStringList Rows() const
    {
        QStringList rows;
        for (int r = 0; r < list->RowCount(); ++r)
            rows << list->TextAt(r);
        return rows;
    }

    QTemporaryDir temp;
    QTableView grid;
    QLabel count;
    QPushButton convert;
    int yields = 0;
    bool busyAtEveryYield = true;
    std::vector<bool> busyCalls;
    std::function<void()> onYield;
    // Every yield finds the window due, so each one is seen.
    std::int64_t now = 0;
    EventPump pump{[this] { Yielded(); }, [this] { return now += kServeIntervalMs; }};
    std::unique_ptr<SourceFileList> list;
    ScriptedInteraction interaction;
};

TEST_F(AddFolderCommandTest, AppendsTheMessageFilesOfTheTreeInWalkOrderKeepingTheirNames)
{
    QStringList top{Make(QStringLiteral("a.mbs")), Make(QStringLiteral("B.MBS")), Make(QStringLiteral("c.Mbs")),
                    Make(QStringLiteral(".mbs"))};
    const QString second = Make(QStringLiteral("sub/e.MBS"));
    const QString third = Make(QStringLiteral("sub/deeper/d.mbs"));
    for (const char *skipped : {"x.mbsx", "y.mbs.bak", "z.eml", "sub/notes.txt", "sub/deeper/mbs"})
        Make(QString::fromLatin1(skipped));
    list->AddFileToList(QStringLiteral("/old/first.mbs"));

    // Whenever the window is served during the scan, it shows the list as
    // it stands: every row added so far, its count and the newest row
    // current. The scan is a busy command throughout.
    int serves = 0;
    onYield = [&] {
        ++serves;
        const QAbstractItemModel *model = grid.model();
        ASSERT_EQ(model->rowCount(), list->RowCount());
        EXPECT_EQ(model->data(model->index(list->RowCount() - 1, 0)).toString(), list->TextAt(list->RowCount() - 1));
        EXPECT_EQ(count.text(), QStringLiteral("%1 files").arg(list->RowCount()));
        EXPECT_EQ(grid.currentIndex().row(), list->RowCount() - 1);
        EXPECT_EQ(busyCalls, std::vector<bool>{true});
    };
    RunOn(Root());
    onYield = nullptr;
    EXPECT_GT(serves, 10);
    EXPECT_EQ(busyCalls, (std::vector<bool>{true, false}));
    EXPECT_EQ(interaction.folderTitles, QStringList{QStringLiteral("Choose Source Folder...")});
    EXPECT_EQ(grid.model()->rowCount(), 7);
    EXPECT_EQ(grid.currentIndex().row(), 6);
    QStringList rows = Rows();
    ASSERT_EQ(rows.size(), 7);
    EXPECT_EQ(rows.takeFirst(), QStringLiteral("/old/first.mbs")); // appended behind
    EXPECT_EQ(rows.takeLast(), third);                             // breadth first
    EXPECT_EQ(rows.takeLast(), second);
    rows.sort();
    top.sort();
    EXPECT_EQ(rows, top); // the folder's own files first, in the file system's order
    EXPECT_EQ(count.text(), QStringLiteral("7 files"));
    EXPECT_TRUE(convert.isEnabled());

    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Notice);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("6 Files Added to List."));
}

TEST_F(AddFolderCommandTest, NoMessageFileDisablesConvertWhateverTheListHolds)
{
    Make(QStringLiteral("z.eml"));
    list->AddFileToList(QStringLiteral("/old/first.mbs"));
    convert.setEnabled(true);

    RunOn(Root());
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/old/first.mbs")});
    EXPECT_FALSE(convert.isEnabled());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("0 Files Added to List."));

    // A folder that is gone by the time it is walked reads the same.
    convert.setEnabled(true);
    RunOn(Root() + QStringLiteral("/gone"));
    EXPECT_FALSE(convert.isEnabled());
    ASSERT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(interaction.messages[1].text, QStringLiteral("0 Files Added to List."));
}

TEST_F(AddFolderCommandTest, AFileAlreadyListedIsNotListedAgainAndTheBoxSaysSo)
{
    const QString a = Make(QStringLiteral("in/a.mbs"));
    const QString b = Make(QStringLiteral("in/sub/b.mbs"));
    const QString c = Make(QStringLiteral("in/sub/c.mbs"));
    const QString in = Root() + QStringLiteral("/in");
    struct Step {
        std::function<void()> add;
        QString box;
        int rows;
    };
    const std::vector<Step> steps{
        {[&] { RunOn(in + QStringLiteral("/sub")); }, QStringLiteral("2 Files Added to List."), 2},
        {[&] { RunOn(in); }, QStringLiteral("3 Files Added to List.\r\n2 were already in the list."), 3},
        {[&] { RunOn(in + QDir::separator()); },
         QStringLiteral("3 Files Added to List.\r\n3 were already in the list."), 3},
        {[&] {
             RunAddPathsCommand(Context(), QStringList{a, in});
         },
         QStringLiteral("4 Files Added to List.\r\n4 were already in the list."), 3},
        {[&] {
             list->ClearFileList();
             RunAddPathsCommand(Context(), QStringList{b, in});
         },
         QStringLiteral("4 Files Added to List.\r\n1 was already in the list."), 3},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        convert.setEnabled(false);
        steps[i].add();
        ASSERT_EQ(interaction.messages.size(), i + 1);
        EXPECT_EQ(interaction.messages[i].kind, Message::Kind::Notice) << i;
        EXPECT_EQ(interaction.messages[i].text, steps[i].box) << i;
        EXPECT_EQ(list->RowCount(), steps[i].rows) << i;
        EXPECT_EQ(count.text(), QStringLiteral("%1 files").arg(steps[i].rows)) << i;
        EXPECT_TRUE(convert.isEnabled()) << i; // files were found
    }
    // Each as it was first found (on Windows with whichever separators).
    const auto plain = [](const QStringList &paths) {
        QStringList out;
        for (const QString &path : paths)
            out.append(QDir::cleanPath(QDir::fromNativeSeparators(path)));
        out.sort();
        return out;
    };
    EXPECT_EQ(plain(Rows()), plain({a, b, c}));
}

TEST_F(AddFolderCommandTest, CancellingThePickerDoesNothing)
{
    list->AddFileToList(QStringLiteral("/old/first.mbs"));
    for (bool enabled : {true, false}) {
        convert.setEnabled(enabled);
        yields = 0;
        Run(); // nothing queued: cancelled
        EXPECT_EQ(convert.isEnabled(), enabled);
        EXPECT_EQ(yields, 0);
        EXPECT_TRUE(busyCalls.empty());
    }
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/old/first.mbs")});
    EXPECT_TRUE(interaction.messages.empty());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(AddFolderCommandTest, TheBusyPointerShowsDuringTheScanAndIsAlwaysRestored)
{
    Make(QStringLiteral("a.mbs"));
    Make(QStringLiteral("b.mbs"));
    Make(QStringLiteral("c.mbs"));
    RunOn(Root());
    EXPECT_GT(yields, 4);
    EXPECT_TRUE(busyAtEveryYield);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // A failure part-way: the rows added so far stay, the pointer comes back.
    list->ClearFileList();
    onYield = [this] {
        if (list->RowCount() == 2)
            throw CommandFailure(5, QStringLiteral("Invalid procedure call or argument"));
    };
    convert.setEnabled(false);
    RunOn(Root());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    ASSERT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(interaction.messages[1].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[1].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[1].text, QStringLiteral("5:Invalid procedure call or argument"));
    EXPECT_EQ(list->RowCount(), 2);
    EXPECT_TRUE(convert.isEnabled());
}

TEST_F(AddFolderCommandTest, FoldersThatCannotBeReadAreCountedInTheBox)
{
    const std::string sep(1, QDir::separator().toLatin1());
    auto fileSystem = std::make_shared<FakeFileSystem>();
    const std::string root = Native("/m/");
    fileSystem->folders[root] = {{"ok", "locked", "private"}, {"a.mbs"}, false};
    fileSystem->folders[root + "ok" + sep] = {{}, {"b.mbs", "c.txt"}, false};
    fileSystem->folders[root + "locked" + sep] = {{}, {"hidden.mbs"}, true};
    fileSystem->folders[root + "private" + sep] = {{}, {}, true};

    interaction.folders.push_back(QStringLiteral("%1m").arg(QDir::separator())); // no trailing separator
    Run(fileSystem);
    EXPECT_EQ(fileSystem->asked, std::vector<std::string>{root});
    EXPECT_EQ(Rows(), (QStringList{QString::fromStdString(root + "a.mbs"),
                                   QString::fromStdString(root + "ok" + sep + "b.mbs")}));
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("2 Files Added to List.\r\n2 folders could not be read."));
    EXPECT_EQ(interaction.messages[0].details,
              QString::fromStdString(root + "locked" + sep + ": cannot list folder: Permission denied\n" + root +
                                     "private" + sep + ": cannot list folder: Permission denied"));

    EXPECT_EQ(FilesAddedText(3, 1), QStringLiteral("3 Files Added to List.\r\n1 folder could not be read."));
    EXPECT_EQ(FilesAddedText(0, 0), QStringLiteral("0 Files Added to List."));
    EXPECT_EQ(FilesAddedText(1, 0, 1), QStringLiteral("1 Files Added to List.\r\n1 entry could not be added."));
    EXPECT_EQ(FilesAddedText(0, 2, 4), QStringLiteral("0 Files Added to List.\r\n2 folders could not be read."
                                                      "\r\n4 entries could not be added."));
}

TEST_F(AddFolderCommandTest, ARootFolderGetsNoSecondSeparator)
{
    auto fileSystem = std::make_shared<FakeFileSystem>();
    interaction.folders.push_back(QDir::toNativeSeparators(QDir::rootPath()));
    Run(fileSystem);
    EXPECT_EQ(fileSystem->asked, std::vector<std::string>{QDir::toNativeSeparators(QDir::rootPath()).toStdString()});
}

TEST_F(AddFolderCommandTest, ALargeFolderReachesTheGridInAFewPiecesNotRowByRow)
{
    auto fileSystem = std::make_shared<FakeFileSystem>();
    const std::string root = Native("/big/");
    FakeFileSystem::Folder &folder = fileSystem->folders[root];
    constexpr int kFiles = 20000;
    for (int i = 0; i < kFiles; ++i)
        folder.files.push_back(std::to_string(i) + ".mbs");
    folder.files.push_back("notes.txt");

    // A clock that moves 1 ms per look: the window is served now and then,
    // not at every one of the 80,000 yields.
    std::int64_t ms = 0;
    EventPump slowPump([this] { Yielded(); }, [&] { return ++ms; });
    SourceFileList bigList(&grid, &count, &slowPump);
    int insertions = 0;
    QObject::connect(grid.model(), &QAbstractItemModel::rowsInserted, &grid, [&] { ++insertions; });
    AddFolderContext context = Context(fileSystem);
    context.list = &bigList;
    context.pump = &slowPump;
    interaction.folders.push_back(QString::fromStdString(root));
    RunAddFolderCommand(context);

    EXPECT_EQ(bigList.RowCount(), kFiles);
    EXPECT_EQ(grid.model()->rowCount(), kFiles);
    EXPECT_EQ(bigList.TextAt(kFiles - 1), QString::fromStdString(root + std::to_string(kFiles - 1) + ".mbs"));
    EXPECT_EQ(count.text(), QStringLiteral("20000 files"));
    EXPECT_EQ(grid.currentIndex().row(), kFiles - 1);
    // One insertion per serve at most, and one at the end.
    EXPECT_GE(insertions, 1);
    EXPECT_LE(static_cast<std::uint64_t>(insertions), slowPump.Serves() + 1);
    EXPECT_LT(slowPump.Serves(), 20000U);
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("20000 Files Added to List."));
}

TEST_F(AddFolderCommandTest, DroppedFilesAndFoldersAreAddedLikeAFolderScan)
{
    const QString inFolder = Make(QStringLiteral("drop/sub/a.mbs"));
    const QString deeper = Make(QStringLiteral("drop/sub/deeper/b.MBS"));
    Make(QStringLiteral("drop/sub/skip.txt"));
    const QString loose = Make(QStringLiteral("loose/c.mbs"));
    const QString other = Make(QStringLiteral("loose/notes.eml"));
    list->AddFileToList(QStringLiteral("/old/first.mbs"));
    busyAtEveryYield = true; // that add yielded before the command

    RunAddPathsCommand(Context(), {loose, other, QDir::toNativeSeparators(temp.path() + QStringLiteral("/drop")),
                                   QDir::toNativeSeparators(temp.path() + QStringLiteral("/nothing-here.mbs"))});
    // The dropped file as it is, then the folder's files in walk order; the
    // other file is left out. A dropped name that is not a folder counts as
    // a file.
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("/old/first.mbs"), loose, inFolder, deeper,
                                   QDir::toNativeSeparators(temp.path() + QStringLiteral("/nothing-here.mbs"))}));
    EXPECT_EQ(count.text(), QStringLiteral("5 files"));
    EXPECT_EQ(grid.model()->rowCount(), 5);
    EXPECT_TRUE(convert.isEnabled());
    EXPECT_EQ(busyCalls, (std::vector<bool>{true, false}));
    EXPECT_TRUE(busyAtEveryYield);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(interaction.folderTitles.isEmpty()); // no picker
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Notice);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("4 Files Added to List."));
}

TEST_F(AddFolderCommandTest, ADropWithoutMessageFilesLeavesTheConvertButtonAsItWas)
{
    const QString other = Make(QStringLiteral("loose/notes.eml"));
    for (bool enabled : {true, false}) {
        convert.setEnabled(enabled);
        RunAddPathsCommand(Context(), {other});
        EXPECT_EQ(convert.isEnabled(), enabled);
    }
    ASSERT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(interaction.messages[1].text, QStringLiteral("0 Files Added to List."));

    // Nothing dropped: nothing happens at all.
    RunAddPathsCommand(Context(), QStringList());
    EXPECT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(busyCalls.size(), 4U);

    // A dropped folder that cannot be read is counted like in a scan.
    auto fileSystem = std::make_shared<FakeFileSystem>();
    const std::string root = Native("/m/");
    fileSystem->folders[root] = {{"locked"}, {"a.mbs"}, false};
    fileSystem->folders[root + "locked" + QDir::separator().toLatin1()] = {{}, {}, true};
    RunAddPathsCommand(Context(fileSystem), {QString::fromStdString(root)});
    ASSERT_EQ(interaction.messages.size(), 3U);
    EXPECT_EQ(interaction.messages[2].text, QStringLiteral("1 Files Added to List.\r\n1 folder could not be read."));
    EXPECT_TRUE(convert.isEnabled());
}

#ifndef _WIN32
TEST_F(AddFolderCommandTest, LinksAreFollowedAndEntriesThatCannotBeAddedAreListedInTheBox)
{
    namespace fs = std::filesystem;
    const QString plain = Make(QStringLiteral("store/plain.mbs"));
    const QString real = Make(QStringLiteral("elsewhere/real.mbs"));
    Make(QStringLiteral("elsewhere/folder/inner.mbs"));
    const fs::path root = temp.path().toStdString();
    fs::create_symlink(real.toStdString(), root / "store/link.mbs");
    fs::create_directory_symlink(root / "elsewhere/folder", root / "store/linked");
    fs::create_directory_symlink(root / "store", root / "elsewhere/folder/back"); // walked once only
    fs::create_symlink(root / "nowhere.mbs", root / "store/broken.mbs");
    ASSERT_EQ(::mkfifo((root / "store/pipe.Mbs").c_str(), 0600), 0);
    fs::create_symlink(root / "nowhere", root / "store/not-a-message");

    RunOn(Root() + QStringLiteral("/store"));
    const QString store = Root() + QStringLiteral("/store/");
    QStringList rows = Rows();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows.takeLast(), store + QStringLiteral("linked/inner.mbs")); // breadth first
    rows.sort();
    EXPECT_EQ(rows, (QStringList{store + QStringLiteral("link.mbs"), plain}));
    EXPECT_TRUE(convert.isEnabled());

    ASSERT_EQ(interaction.messages.size(), 1U);
    const Message box = interaction.messages[0];
    EXPECT_EQ(box.kind, Message::Kind::Warning);
    EXPECT_EQ(box.title, ApplicationTitle());
    EXPECT_EQ(box.text, QStringLiteral("3 Files Added to List.\r\n2 entries could not be added."));
    QStringList details = box.details.split(QLatin1Char('\n'));
    details.sort();
    EXPECT_EQ(details, (QStringList{store + QStringLiteral("broken.mbs: not a regular file: the link leads nowhere"),
                                    store + QStringLiteral("pipe.Mbs: not a regular file")}));

    // Dropped on the list, the folder reads the same; its files are listed already.
    RunAddPathsCommand(Context(), {Root() + QStringLiteral("/store")});
    EXPECT_EQ(list->RowCount(), 3);
    ASSERT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(interaction.messages[1].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[1].text,
              QStringLiteral("3 Files Added to List.\r\n3 were already in the list.\r\n2 entries could not be added."));
    EXPECT_EQ(interaction.messages[1].details, box.details);
}

TEST_F(AddFolderCommandTest, AFolderThatCannotBeReadOrSearchedIsCountedAndNamed)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads and searches every folder";
    namespace fs = std::filesystem;
    const QString ok = Make(QStringLiteral("ok/1.mbs"));
    Make(QStringLiteral("unsearchable/2.mbs"));
    const fs::path root = temp.path().toStdString();
    fs::create_symlink(ok.toStdString(), root / "unsearchable/link.mbs");
    fs::create_directory_symlink(root / "ok", root / "unsearchable/linked");
    Make(QStringLiteral("unreadable/3.mbs"));
    struct Restore {
        std::vector<fs::path> folders;
        ~Restore()
        {
            std::error_code ec;
            for (const fs::path &folder : folders)
                fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ec);
        }
    } restore{{root / "unsearchable", root / "unreadable"}};
    fs::permissions(root / "unsearchable", fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::remove);
    fs::permissions(root / "unreadable", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::remove);

    RunOn(Root());
    EXPECT_EQ(Rows(), QStringList{ok});
    ASSERT_EQ(interaction.messages.size(), 1U);
    const Message &box = interaction.messages[0];
    EXPECT_EQ(box.kind, Message::Kind::Warning);
    EXPECT_EQ(box.text, QStringLiteral("1 Files Added to List.\r\n2 folders could not be read."));
    const QString denied = QString::fromStdString(std::generic_category().message(EACCES));
    QStringList details = box.details.split(QLatin1Char('\n'));
    details.sort();
    EXPECT_EQ(details, (QStringList{Root() + QStringLiteral("/unreadable/: cannot list folder: ") + denied,
                                    Root() + QStringLiteral("/unsearchable/: cannot list folder: ") + denied}));
}
#endif

} // namespace
} // namespace tovaly
