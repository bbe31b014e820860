#include "add_files_command.h"
#include "application_title.h"
#include "gui_test.h"
#include "scripted_interaction.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>

namespace tovaly {
namespace {

using tovaly::testing::Message;
using tovaly::testing::ScriptedInteraction;

const QChar kNul(u'\0');

QString Joined(std::initializer_list<const char16_t *> parts)
{
    QStringList list;
    for (const char16_t *part : parts)
        list << QString::fromUtf16(part);
    return list.join(kNul);
}

TEST(SelectionText, OneFileIsItsPathAndTheTrailingNulAddsNothing)
{
    const QStringList expected{QStringLiteral("C:\\Mail\\a.mbs")};
    EXPECT_EQ(PathsFromSelectionText(QStringLiteral("C:\\Mail\\a.mbs"), u'\\'), expected);
    EXPECT_EQ(PathsFromSelectionText(Joined({u"C:\\Mail\\a.mbs", u""}), u'\\'), expected);
    EXPECT_TRUE(PathsFromSelectionText(QString(), u'\\').isEmpty());
}

TEST(SelectionText, SeveralFilesAreJoinedToTheirFolder)
{
    const QStringList expected{QStringLiteral("C:\\Mail\\a.mbs"), QStringLiteral("C:\\Mail\\b.mbs")};
    EXPECT_EQ(PathsFromSelectionText(Joined({u"C:\\Mail", u"a.mbs", u"b.mbs"}), u'\\'), expected);
    EXPECT_EQ(PathsFromSelectionText(Joined({u"C:\\Mail", u"a.mbs", u"b.mbs", u""}), u'\\'), expected);
    // A drive root already ends in the separator: no second one.
    EXPECT_EQ(PathsFromSelectionText(Joined({u"C:\\", u"a.mbs", u"b.mbs"}), u'\\'),
              (QStringList{QStringLiteral("C:\\a.mbs"), QStringLiteral("C:\\b.mbs")}));
    EXPECT_EQ(PathsFromSelectionText(Joined({u"/", u"a.mbs", u"b.mbs"}), u'/'),
              (QStringList{QStringLiteral("/a.mbs"), QStringLiteral("/b.mbs")}));
    // An empty folder part: the names are full paths already.
    EXPECT_EQ(PathsFromSelectionText(Joined({u"", u"/x/a.mbs", u"/y/b.mbs"}), u'/'),
              (QStringList{QStringLiteral("/x/a.mbs"), QStringLiteral("/y/b.mbs")}));
}

TEST(SelectionText, BuiltFromTheDialogsAnswerAndSplitBackWithoutLosingAFile)
{
    const auto native = [](const char *path) { return QDir::toNativeSeparators(QString::fromUtf8(path)); };
    EXPECT_EQ(SelectionTextFor({}), QString());
    EXPECT_EQ(SelectionTextFor({QStringLiteral("/mail/in/a.mbs")}), native("/mail/in/a.mbs"));
    EXPECT_EQ(SelectionTextFor({QStringLiteral("/mail/in/a.mbs"), QStringLiteral("/mail/in/b.mbs")}),
              native("/mail/in") + kNul + QStringLiteral("a.mbs") + kNul + QStringLiteral("b.mbs"));

    const QStringList mixed{QStringLiteral("/mail/in/a.mbs"), QStringLiteral("/mail/out/b.mbs"),
                            QStringLiteral("/mail/in/c.mbs")};
    QStringList expected;
    for (const QString &path : mixed)
        expected << QDir::toNativeSeparators(path);
    EXPECT_EQ(PathsFromSelectionText(SelectionTextFor(mixed), QDir::separator()), expected);

    QStringList many;
    for (int i = 0; i < 400; ++i)
        many << QStringLiteral("/var/mail/opera/store/account1/2010/message-%1.mbs").arg(i, 6, 10, QLatin1Char('0'));
    EXPECT_EQ(PathsFromSelectionText(SelectionTextFor(many), QDir::separator()).size(), 400);
}

class AddFilesCommandTest : public tovaly::testing::GuiTest {
protected:
    void SetUp() override
    {
        list = std::make_unique<SourceFileList>(&grid, &count, &pump);
        convert.setEnabled(false);
    }

    void Run() { RunAddFilesCommand({list.get(), &interaction, nullptr, Hooks(), &pump}); }

    CommandHooks Hooks()
    {
        return {.enableConvert = [this](bool on) { convert.setEnabled(on); },
                .busy = [this](bool busy) { busyCalls.push_back(busy); }};
    }

    QStringList Rows() const
    {
        QStringList rows;
        for (int r = 0; r < list->RowCount(); ++r)
            rows << list->TextAt(r);
        return rows;
    }

    QTableView grid;
    QLabel count;
    QPushButton convert;
    int yields = 0;
    std::vector<bool> busyCalls;
    std::function<void()> onYield;
    // Every yield finds the window due, so each one is counted.
    std::int64_t now = 0;
    EventPump pump{[this] {
                       ++yields;
                       if (onYield)
                           onYield();
                   },
                   [this] { return now += kServeIntervalMs; }};
    std::unique_ptr<SourceFileList> list;
    ScriptedInteraction interaction;
};

TEST_F(AddFilesCommandTest, ReplacesTheListWithThePickedFilesInOrder)
{
    list->AddFileToList(QStringLiteral("/old/x.mbs"));
    const QStringList picked{QStringLiteral("/mail/in/b.mbs"), QStringLiteral("/mail/in/a.mbs"),
                             QStringLiteral("/mail/in/x.mbs")};
    interaction.pickedFiles = {picked};
    yields = 0;
    Run();

    EXPECT_EQ(interaction.filters, QStringList{QStringLiteral("Opera Mail Messages (*.mbs)")});
    QStringList expected;
    for (const QString &path : picked)
        expected << QDir::toNativeSeparators(path);
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(count.text(), QStringLiteral("3 files"));
    EXPECT_TRUE(convert.isEnabled());
    EXPECT_TRUE(interaction.messages.empty());
    // After the dialog, before enabling the button, twice for the folder
    // part, twice after each file, and once in the list for the first file.
    EXPECT_EQ(yields, 1 + 1 + 2 + 3 * 2 + 1);
}

TEST_F(AddFilesCommandTest, CancellingTheDialogChangesNothing)
{
    list->AddFileToList(QStringLiteral("/old/x.mbs"));
    list->AddFileToList(QStringLiteral("/old/y.mbs"));
    for (bool enabled : {false, true}) {
        convert.setEnabled(enabled);
        Run(); // nothing queued: cancelled
        EXPECT_EQ(Rows(), (QStringList{QStringLiteral("/old/x.mbs"), QStringLiteral("/old/y.mbs")}));
        EXPECT_EQ(count.text(), QStringLiteral("2 files"));
        EXPECT_EQ(convert.isEnabled(), enabled);
    }
    EXPECT_EQ(interaction.filters.size(), 2);
    EXPECT_TRUE(interaction.messages.empty());
    EXPECT_TRUE(busyCalls.empty()); // no command ran
}

TEST_F(AddFilesCommandTest, TheListIsReplacedOnlyOnceFilesWerePickedAndConvertEnabledBeforeRowsAreAdded)
{
    list->AddFileToList(QStringLiteral("/old/x.mbs"));
    interaction.onPickFiles = [this] {
        // The dialog is open: the list is still there.
        EXPECT_EQ(Rows(), QStringList{QStringLiteral("/old/x.mbs")});
        EXPECT_EQ(count.text(), QStringLiteral("1 files"));
        return QStringList{QStringLiteral("/mail/a.mbs")};
    };
    // The list yields once, just before the first path goes into the
    // emptied list; the button is enabled by then.
    bool enabledBeforeFirstRow = false;
    bool busyWhileAdding = false;
    onYield = [&] {
        if (list->IsEmpty()) {
            enabledBeforeFirstRow = convert.isEnabled();
            busyWhileAdding = busyCalls == std::vector<bool>{true};
        }
    };
    Run();
    EXPECT_TRUE(enabledBeforeFirstRow);
    EXPECT_TRUE(busyWhileAdding);
    EXPECT_EQ(busyCalls, (std::vector<bool>{true, false}));
    EXPECT_EQ(Rows(), QStringList{QDir::toNativeSeparators(QStringLiteral("/mail/a.mbs"))});
    EXPECT_EQ(count.text(), QStringLiteral("1 files"));
}

TEST_F(AddFilesCommandTest, AFailureIsShownAsCodeColonDescription)
{
    list->AddFileToList(QStringLiteral("/old/x.mbs"));
    interaction.onPickFiles = []() -> QStringList {
        throw CommandFailure(32755, QStringLiteral("Cancel was selected."));
    };
    Run();
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("32755:Cancel was selected."));
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/old/x.mbs")}); // a failing dialog picked nothing
    EXPECT_FALSE(convert.isEnabled());

    interaction.messages.clear();
    interaction.onPickFiles = []() -> QStringList { throw std::bad_alloc(); };
    Run();
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("7:Out of memory"));
}

TEST_F(AddFilesCommandTest, RowsAddedBeforeAFailureStay)
{
    interaction.pickedFiles = {{QStringLiteral("/m/a.mbs"), QStringLiteral("/m/b.mbs"), QStringLiteral("/m/c.mbs")}};
    int added = 0;
    onYield = [&] {
        if (list->RowCount() == 2 && ++added == 1)
            throw CommandFailure(5, QStringLiteral("Invalid procedure call or argument"));
    };
    Run();
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("5:Invalid procedure call or argument"));
    EXPECT_EQ(Rows(), (QStringList{QDir::toNativeSeparators(QStringLiteral("/m/a.mbs")),
                                   QDir::toNativeSeparators(QStringLiteral("/m/b.mbs"))}));
    // The rows reached the grid and the window's commands came back.
    EXPECT_EQ(grid.model()->rowCount(), 2);
    EXPECT_EQ(count.text(), QStringLiteral("2 files"));
    EXPECT_EQ(busyCalls, (std::vector<bool>{true, false}));
    EXPECT_TRUE(convert.isEnabled());
}

} // namespace
} // namespace tovaly
