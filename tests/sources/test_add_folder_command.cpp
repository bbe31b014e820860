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
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>

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
        list = std::make_unique<SourceFileList>(&grid, &count, [this] { Yielded(); });
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

    void Run(std::shared_ptr<FileSystemService> fileSystem = nullptr)
    {
        RunAddFolderCommand({list.get(), &interaction, nullptr, &convert, [this] { Yielded(); },
                             std::move(fileSystem)});
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
    QTableWidget grid;
    QLabel count;
    QPushButton convert;
    std::unique_ptr<SourceFileList> list;
    ScriptedInteraction interaction;
    int yields = 0;
    bool busyAtEveryYield = true;
    std::function<void()> onYield;
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

    RunOn(Root());
    EXPECT_EQ(interaction.folderTitles, QStringList{QStringLiteral("Choose Source Folder...")});
    QStringList rows = Rows();
    ASSERT_EQ(rows.size(), 7);
    EXPECT_EQ(rows.takeFirst(), QStringLiteral("/old/first.mbs")); // appended behind
    EXPECT_EQ(rows.takeLast(), third);                               // breadth first
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

TEST_F(AddFolderCommandTest, AddingTheSameFolderTwiceListsEveryFileTwice)
{
    const QString a = Make(QStringLiteral("in/a.mbs"));
    RunOn(Root());
    RunOn(Root() + QDir::separator()); // with its separator already
    EXPECT_EQ(Rows(), (QStringList{a, a}));
    EXPECT_EQ(count.text(), QStringLiteral("2 files"));
    ASSERT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(interaction.messages[1].text, QStringLiteral("1 Files Added to List."));
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
    }
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/old/first.mbs")});
    EXPECT_TRUE(interaction.messages.empty());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(AddFolderCommandTest, TheBusyPointerShowsDuringTheScanAndIsAlwaysRestored)
{
    Make(QStringLiteral("a.mbs"));
    Make(QStringLiteral("b.mbs"));
    RunOn(Root());
    EXPECT_GT(yields, 4);
    EXPECT_TRUE(busyAtEveryYield);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // A failure part-way: the rows added so far stay, the pointer comes back.
    onYield = [this] {
        if (list->RowCount() == 3)
            throw CommandFailure(5, QStringLiteral("Invalid procedure call or argument"));
    };
    convert.setEnabled(false);
    RunOn(Root());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    ASSERT_EQ(interaction.messages.size(), 2U);
    EXPECT_EQ(interaction.messages[1].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[1].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[1].text, QStringLiteral("5:Invalid procedure call or argument"));
    EXPECT_EQ(list->RowCount(), 3);
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
    EXPECT_EQ(interaction.messages[0].text,
              QStringLiteral("2 Files Added to List.\r\n2 folders could not be read."));

    EXPECT_EQ(FilesAddedText(3, 1), QStringLiteral("3 Files Added to List.\r\n1 folder could not be read."));
    EXPECT_EQ(FilesAddedText(0, 0), QStringLiteral("0 Files Added to List."));
}

TEST_F(AddFolderCommandTest, ARootFolderGetsNoSecondSeparator)
{
    auto fileSystem = std::make_shared<FakeFileSystem>();
    interaction.folders.push_back(QDir::toNativeSeparators(QDir::rootPath()));
    Run(fileSystem);
    EXPECT_EQ(fileSystem->asked, std::vector<std::string>{QDir::toNativeSeparators(QDir::rootPath()).toStdString()});
}

} // namespace
} // namespace tovaly
