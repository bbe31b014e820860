#include "application_title.h"
#include "frm_step1.h"
#include "gui_test.h"
#include "scripted_interaction.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMap>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace tovaly {
namespace {

using tovaly::testing::Message;
using tovaly::testing::ScriptedInteraction;
using Answer = UserInteraction::Answer;

const QString kHelpAddress = QStringLiteral("file:///opt/tovaly/manual.html");

class FrmStep1Test : public tovaly::testing::GuiTest {
protected:
    FrmStep1Test()
        : window({
              .interaction = &interaction,
              .yield =
                  [this] {
                      ++yields;
                      if (onYield)
                          onYield();
                      QCoreApplication::processEvents();
                  },
              .endProgram = [this] { ++programEnds; },
              .helpAddress = kHelpAddress,
              .initialiseControls = [this] { widgetsAtInitialise = QApplication::allWidgets().size(); },
              // Every yield finds the window due.
              .clock = [this] { return now += kServeIntervalMs; },
          })
    {
    }

    void Show()
    {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    template <typename T = QWidget>
    T *Child(const char *name) const
    {
        T *child = window.findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }

    QStringList Rows() const
    {
        QStringList rows;
        auto &files = const_cast<FrmStep1 &>(window).Files();
        for (int r = 0; r < files.RowCount(); ++r)
            rows << files.TextAt(r);
        return rows;
    }

    void Click(const char *button) { QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton); }

    // The enabled state of every button, by name.
    QMap<QString, bool> ButtonStates() const
    {
        QMap<QString, bool> states;
        for (const char *name : {"cmdAdd", "CmdAddFolder", "cmdClear1", "CmdConvert2MBOX", "CmdHelp", "cmdEnd"})
            states[QString::fromLatin1(name)] = window.findChild<QPushButton *>(QString::fromLatin1(name))->isEnabled();
        return states;
    }

    // A folder holding `count` message files.
    QString MessageFolder(QTemporaryDir &temp, int count)
    {
        EXPECT_TRUE(temp.isValid());
        for (int i = 0; i < count; ++i) {
            QFile file(temp.filePath(QStringLiteral("%1.mbs").arg(i)));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("Subject: x\r\n\r\nbody\r\n");
        }
        return QDir::toNativeSeparators(temp.path());
    }

    ScriptedInteraction interaction;
    int yields = 0;
    std::function<void()> onYield;
    std::int64_t now = 0;
    int programEnds = 0;
    qsizetype widgetsBefore = QApplication::allWidgets().size();
    qsizetype widgetsAtInitialise = -1;
    FrmStep1 window;
};

struct ExpectedControl {
    const char *name;
    const char *className;
    const char *parent;
    const char *text; // nullptr: no text to compare
    QRect geometry;
};

TEST_F(FrmStep1Test, WindowHasItsTitleFixedSizeAndIcon)
{
    EXPECT_EQ(window.objectName(), QStringLiteral("frmStep1"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tovaly Opera to MBOX Converter"));
    EXPECT_EQ(window.size(), QSize(543, 418));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    // Files are dropped on the list, not anywhere on the window.
    EXPECT_FALSE(window.acceptDrops());
    EXPECT_TRUE(window.Controls().grdFiles1->viewport()->acceptDrops());
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    for (const QSize size : {QSize(16, 16), QSize(32, 32), QSize(48, 48), QSize(256, 256)})
        EXPECT_TRUE(sizes.contains(size)) << size.width();
}

TEST_F(FrmStep1Test, WindowIsCentredOnTheScreen)
{
    const QRect area = window.screen()->availableGeometry();
    EXPECT_LE(std::abs(window.frameGeometry().center().x() - area.center().x()), 1);
    EXPECT_LE(std::abs(window.frameGeometry().center().y() - area.center().y()), 1);
}

TEST_F(FrmStep1Test, EveryControlHasItsNameKindTextPlaceAndParent)
{
    const ExpectedControl controls[] = {
        {"Shape2", "QWidget", "frmStep1", nullptr, {-8, 0, 561, 57}},
        {"lblTitle", "QLabel", "frmStep1", "Tovaly Opera to MBOX Converter", {16, 8, 513, 25}},
        {"lblCopyright", "QLabel", "frmStep1", nullptr, {16, 32, 409, 17}},
        {"cmdAdd", "QPushButton", "frmStep1", "Add MBS File(s)...", {16, 64, 121, 25}},
        {"CmdAddFolder", "QPushButton", "frmStep1", "Add Folder having MBS File(s)...", {160, 64, 185, 25}},
        {"cmdClear1", "QPushButton", "frmStep1", "Clear File(s)...", {416, 64, 113, 25}},
        {"lblCount1", "QLabel", "frmStep1", "0 files", {18, 104, 513, 17}},
        {"grdFiles1", "QTableView", "frmStep1", nullptr, {16, 120, 513, 105}},
        {"Label4", "QLabel", "frmStep1", "Converting Messages...", {16, 232, 169, 17}},
        {"Image1", "QLabel", "frmStep1", nullptr, {16, 248, 16, 16}},
        {"LblProgessCurrent", "QLabel", "frmStep1", "Message 0 (of 0)", {40, 248, 489, 17}},
        {"Label3", "QLabel", "frmStep1", "Message Status     :", {16, 264, 121, 17}},
        {"EmlProgress", "QProgressBar", "frmStep1", nullptr, {128, 264, 401, 17}},
        {"Label1", "QLabel", "frmStep1", "Saving : ", {128, 283, 49, 17}},
        {"LblByteRead", "QLabel", "frmStep1", "<  Not Available >", {176, 283, 353, 17}},
        {"Label2", "QLabel", "frmStep1", "Conversion Progress : ", {16, 304, 113, 17}},
        {"ProgressBar1", "QProgressBar", "frmStep1", nullptr, {128, 304, 401, 17}},
        {"CmdConvert2MBOX", "QPushButton", "frmStep1", "Convert &Messages to MBOX File", {184, 336, 177, 29}},
        {"Shape1", "QWidget", "frmStep1", nullptr, {-8, 376, 561, 57}},
        {"Picture3", "QWidget", "frmStep1", nullptr, {8, 384, 529, 33}},
        {"CmdHelp", "QPushButton", "Picture3", "&Help Manual", {0, 0, 113, 25}},
        {"cmdEnd", "QPushButton", "Picture3", "E&xit", {432, 0, 89, 25}},
    };
    for (const ExpectedControl &want : controls) {
        SCOPED_TRACE(want.name);
        QWidget *control = Child(want.name);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->inherits(want.className));
        EXPECT_EQ(control->parentWidget()->objectName(), QString::fromLatin1(want.parent));
        EXPECT_EQ(control->geometry(), want.geometry);
        EXPECT_TRUE(control->toolTip().isEmpty());
        if (want.text == nullptr)
            continue;
        if (auto *label = qobject_cast<QLabel *>(control)) {
            EXPECT_EQ(label->text(), QString::fromLatin1(want.text));
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
        } else if (auto *button = qobject_cast<QPushButton *>(control)) {
            EXPECT_EQ(button->text(), QString::fromLatin1(want.text));
            EXPECT_FALSE(button->autoDefault());
            EXPECT_FALSE(button->isDefault());
        }
    }
    EXPECT_FALSE(Child<QLabel>("lblCopyright")->text().isEmpty());
    EXPECT_FALSE(Child<QLabel>("lblCopyright")->text().contains(QLatin1Char('\n')));
}

TEST_F(FrmStep1Test, FontsAndColours)
{
    const auto expectTahoma = [this](const char *name, qreal points, bool bold) {
        const QFont font = Child(name)->font();
        EXPECT_EQ(font.family(), QStringLiteral("Tahoma")) << name;
        EXPECT_DOUBLE_EQ(font.pointSizeF(), points) << name;
        EXPECT_EQ(font.bold(), bold) << name;
    };
    expectTahoma("lblTitle", 14.25, true);
    expectTahoma("Label3", 8.25, true);
    for (const char *name : {"lblCopyright", "cmdAdd", "CmdAddFolder", "cmdClear1", "lblCount1", "grdFiles1", "Label4",
                             "CmdConvert2MBOX", "CmdHelp", "cmdEnd"})
        expectTahoma(name, 8.25, false);
    // These keep the window's own font, the dialog font.
    EXPECT_DOUBLE_EQ(window.font().pointSizeF(), 8.25);
    for (const char *name : {"LblProgessCurrent", "Label1", "LblByteRead", "Label2"})
        EXPECT_EQ(Child(name)->font(), window.font()) << name;

    const auto text = [this](const char *name) { return Child(name)->palette().color(QPalette::WindowText); };
    EXPECT_EQ(text("lblTitle"), QColor(64, 0, 0));
    EXPECT_EQ(text("lblCopyright"), QColor(0, 0, 0));
    EXPECT_EQ(text("Label3"), QColor(128, 0, 0));
    EXPECT_EQ(text("LblByteRead"), QColor(0, 0, 255));
    EXPECT_EQ(text("LblProgessCurrent"), QColor(0, 0, 0));
    for (const char *name : {"lblTitle", "lblCopyright", "Picture3"}) {
        EXPECT_TRUE(Child(name)->autoFillBackground()) << name;
        EXPECT_EQ(Child(name)->palette().color(QPalette::Window), QColor(Qt::white)) << name;
    }
    EXPECT_FALSE(Child("lblCount1")->autoFillBackground());

    // The bands lie behind everything; the header shows white.
    const QList<QObject *> children = window.children();
    EXPECT_LT(children.indexOf(Child("Shape2")), children.indexOf(Child("lblTitle")));
    EXPECT_LT(children.indexOf(Child("Shape1")), children.indexOf(Child("Picture3")));
    const QImage image = window.grab().toImage();
    EXPECT_EQ(image.pixelColor(4, 4), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(200, 56), QColor(192, 192, 192)); // the line under the header
}

TEST_F(FrmStep1Test, InitialState)
{
    const auto &c = window.Controls();
    EXPECT_EQ(c.grdFiles1->model()->rowCount(), 1);
    EXPECT_EQ(c.grdFiles1->model()->columnCount(), 1);
    EXPECT_EQ(c.grdFiles1->columnWidth(0), 1000);
    EXPECT_EQ(c.grdFiles1->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(window.Files().IsEmpty());
    EXPECT_EQ(c.lblCount1->text(), QStringLiteral("0 files"));
    for (QProgressBar *bar : {c.EmlProgress, c.ProgressBar1}) {
        EXPECT_EQ(bar->minimum(), 0);
        EXPECT_EQ(bar->maximum(), 100);
        EXPECT_EQ(bar->value(), 0);
    }
    EXPECT_FALSE(c.CmdConvert2MBOX->isEnabled());
    for (QPushButton *button : {c.cmdAdd, c.CmdAddFolder, c.cmdClear1, c.CmdHelp, c.cmdEnd})
        EXPECT_TRUE(button->isEnabled()) << button->objectName().toStdString();
    ASSERT_FALSE(c.Image1->pixmap().isNull());
    EXPECT_EQ(c.Image1->pixmap().size(), QSize(16, 16));
    EXPECT_TRUE(c.Image1->pixmap().hasAlphaChannel());
    EXPECT_TRUE(interaction.messages.empty());
    EXPECT_EQ(programEnds, 0);
}

TEST_F(FrmStep1Test, InitialiseStepRunsBeforeAnyControlExists)
{
    // Only the window itself existed when the style was set up.
    EXPECT_EQ(widgetsAtInitialise, widgetsBefore + 1);
}

TEST_F(FrmStep1Test, FocusStartsOnAddAndTabFollowsTheWindowsOrder)
{
    Show();
    ASSERT_EQ(QApplication::focusWidget(), Child("cmdAdd"));

    const auto tabThrough = [](int steps) {
        QStringList visited;
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        return visited;
    };
    // The disabled convert button is skipped.
    EXPECT_EQ(tabThrough(6),
              (QStringList{QStringLiteral("cmdClear1"), QStringLiteral("CmdAddFolder"), QStringLiteral("grdFiles1"),
                           QStringLiteral("cmdEnd"), QStringLiteral("CmdHelp"), QStringLiteral("cmdAdd")}));
    window.Controls().CmdConvert2MBOX->setEnabled(true);
    EXPECT_EQ(tabThrough(7),
              (QStringList{QStringLiteral("cmdClear1"), QStringLiteral("CmdAddFolder"), QStringLiteral("grdFiles1"),
                           QStringLiteral("CmdConvert2MBOX"), QStringLiteral("cmdEnd"), QStringLiteral("CmdHelp"),
                           QStringLiteral("cmdAdd")}));
}

TEST_F(FrmStep1Test, AccessKeysPressTheirButtons)
{
    // An access key animates the button and clicks it a moment later.
    Show();
    QSignalSpy convertClicks(window.Controls().CmdConvert2MBOX, &QPushButton::clicked);
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier); // disabled at start
    QTest::keyClick(&window, Qt::Key_H, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !interaction.openedAddresses.isEmpty(); }));
    EXPECT_EQ(interaction.openedAddresses, QStringList{kHelpAddress});
    EXPECT_EQ(convertClicks.count(), 0);

    window.Controls().CmdConvert2MBOX->setEnabled(true);
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return convertClicks.count() == 1; }));

    interaction.answers = {Answer::No};
    QTest::keyClick(&window, Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return interaction.QuestionCount() == 1; }));
    EXPECT_EQ(interaction.messages.back().text, QStringLiteral("Are you sure you want to exit now?"));
    EXPECT_TRUE(window.isVisible());
}

TEST_F(FrmStep1Test, ClearAsksAndClearsOnlyOnYes)
{
    Show();
    Click("cmdClear1");
    EXPECT_TRUE(interaction.messages.empty()); // nothing to clear, nothing asked

    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));
    window.Files().AddFileToList(QStringLiteral("/mail/b.mbs"));
    window.Controls().CmdConvert2MBOX->setEnabled(true);

    interaction.answers = {Answer::No};
    Click("cmdClear1");
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Question);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text,
              QStringLiteral("Do you want to clear all the files in the list\r\n Proceed?"));
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("/mail/a.mbs"), QStringLiteral("/mail/b.mbs")}));
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("2 files"));
    EXPECT_EQ(window.Controls().grdFiles1->currentIndex().row(), 0); // the command looked at row 0

    interaction.answers = {Answer::Yes};
    Click("cmdClear1");
    EXPECT_EQ(interaction.QuestionCount(), 2U);
    EXPECT_EQ(Rows(), QStringList{QString()});
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("0 files"));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
}

TEST_F(FrmStep1Test, AddingOneFileOrSeveralReplacesTheListAndEnablesConvert)
{
    Show();
    const QString one = QDir::toNativeSeparators(QStringLiteral("/mail/inbox/a.mbs"));
    interaction.pickedFiles = {{QStringLiteral("/mail/inbox/a.mbs")},
                               {QStringLiteral("/mail/inbox/b.mbs"), QStringLiteral("/mail/inbox/c.mbs")}};
    Click("cmdAdd");
    EXPECT_EQ(Rows(), QStringList{one});
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("1 files"));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
    EXPECT_GT(yields, 0);

    Click("cmdAdd");
    EXPECT_EQ(Rows(), (QStringList{QDir::toNativeSeparators(QStringLiteral("/mail/inbox/b.mbs")),
                                   QDir::toNativeSeparators(QStringLiteral("/mail/inbox/c.mbs"))}));
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("2 files"));
    EXPECT_EQ(window.Controls().grdFiles1->currentIndex().row(), 1);
    EXPECT_EQ(interaction.filters.size(), 2);
    EXPECT_TRUE(interaction.messages.empty());
}

TEST_F(FrmStep1Test, CancellingTheFileDialogKeepsTheListAndShowsNoMessage)
{
    Show();
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));
    window.Files().AddFileToList(QStringLiteral("/mail/b.mbs"));
    Click("cmdAdd"); // nothing queued: cancelled
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("/mail/a.mbs"), QStringLiteral("/mail/b.mbs")}));
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("2 files"));
    EXPECT_EQ(window.Controls().grdFiles1->model()->rowCount(), 2);
    EXPECT_FALSE(window.Controls().CmdConvert2MBOX->isEnabled());
    EXPECT_TRUE(interaction.messages.empty());

    // The convert button keeps its state either way.
    window.Controls().CmdConvert2MBOX->setEnabled(true);
    Click("cmdAdd");
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
    EXPECT_EQ(Rows().size(), 2);
}

TEST_F(FrmStep1Test, AddingAFolderAppendsItsMessageFilesAndSetsTheConvertButton)
{
    Show();
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString message = QDir::toNativeSeparators(temp.path() + QStringLiteral("/inbox/1.MBS"));
    ASSERT_TRUE(QDir().mkpath(temp.path() + QStringLiteral("/inbox")));
    for (const QString &path : {message, temp.path() + QStringLiteral("/inbox/notes.txt")}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));

    interaction.folders = {QDir::toNativeSeparators(temp.path())};
    Click("CmdAddFolder");
    EXPECT_EQ(interaction.folderTitles, QStringList{QStringLiteral("Choose Source Folder...")});
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("/mail/a.mbs"), message}));
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("2 files"));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Notice);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("1 Files Added to List."));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    Click("CmdAddFolder"); // cancelled
    EXPECT_EQ(Rows().size(), 2);
    EXPECT_EQ(interaction.messages.size(), 1U);
}

TEST_F(FrmStep1Test, ExitAsksAndEndsOnlyOnYes)
{
    Show();
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));

    interaction.answers = {Answer::No};
    Click("cmdEnd");
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Question);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("Are you sure you want to exit now?"));
    EXPECT_EQ(programEnds, 0);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/mail/a.mbs")});

    interaction.answers = {Answer::Yes};
    Click("cmdEnd");
    EXPECT_EQ(programEnds, 1);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(FrmStep1Test, ClosingTheWindowEndsTheProgramWithoutAQuestion)
{
    Show();
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));
    EXPECT_TRUE(window.close());
    EXPECT_EQ(programEnds, 1);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(interaction.messages.empty());
}

TEST_F(FrmStep1Test, HelpOpensTheManualAndChangesNothing)
{
    Show();
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));
    Click("CmdHelp");
    EXPECT_EQ(interaction.openedAddresses, QStringList{kHelpAddress});
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/mail/a.mbs")});
    EXPECT_TRUE(interaction.messages.empty());
    EXPECT_TRUE(window.isVisible());
}

TEST_F(FrmStep1Test, HelpThatCannotOpenTheManualSaysWhereItIs)
{
    Show();
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));
    interaction.addressesOpen = false;
    Click("CmdHelp");
    EXPECT_EQ(interaction.openedAddresses, QStringList{kHelpAddress});
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("The help manual could not be opened.\r\nIt is at: ") +
                                                QDir::toNativeSeparators(QStringLiteral("/opt/tovaly/manual.html")));
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/mail/a.mbs")}); // nothing else changed
    EXPECT_TRUE(window.isVisible());
}

TEST_F(FrmStep1Test, EnterPressesTheFocusedButton)
{
    Show();
    QWidget *addFolder = Child("CmdAddFolder");
    addFolder->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), addFolder);
    QTest::keyClick(addFolder, Qt::Key_Return); // the picker is cancelled
    EXPECT_EQ(interaction.folderTitles, QStringList{QStringLiteral("Choose Source Folder...")});
    QTest::keyClick(addFolder, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(interaction.folderTitles.size(), 2);

    // Enter with a modifier, and a held-down Enter, do not press it again.
    QTest::keyClick(addFolder, Qt::Key_Return, Qt::ControlModifier);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(addFolder, &repeat);
    EXPECT_EQ(interaction.folderTitles.size(), 2);

    // Space still works, and Enter on the exit button asks its question.
    QTest::keyClick(addFolder, Qt::Key_Space);
    EXPECT_EQ(interaction.folderTitles.size(), 3);
    interaction.answers = {Answer::No};
    Child("cmdEnd")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Child("cmdEnd"), Qt::Key_Return);
    EXPECT_EQ(interaction.QuestionCount(), 1U);
    EXPECT_TRUE(window.isVisible());
}

TEST_F(FrmStep1Test, ListCommandsAreDisabledWhileAFolderIsScannedAndComeBackAfter)
{
    Show();
    QTemporaryDir temp;
    interaction.folders = {MessageFolder(temp, 3)};
    Child("CmdAddFolder")->setFocus(Qt::TabFocusReason);

    QList<QMap<QString, bool>> during;
    onYield = [&] {
        during << ButtonStates();
        // A click on a disabled button does nothing; Help still answers.
        Click("cmdClear1");
        Click("CmdHelp");
    };
    QTest::keyClick(Child("CmdAddFolder"), Qt::Key_Return);
    onYield = nullptr;

    ASSERT_FALSE(during.isEmpty());
    for (const auto &states : during) {
        EXPECT_FALSE(states[QStringLiteral("cmdAdd")]);
        EXPECT_FALSE(states[QStringLiteral("CmdAddFolder")]);
        EXPECT_FALSE(states[QStringLiteral("cmdClear1")]);
        EXPECT_FALSE(states[QStringLiteral("CmdConvert2MBOX")]);
        EXPECT_TRUE(states[QStringLiteral("CmdHelp")]);
        EXPECT_TRUE(states[QStringLiteral("cmdEnd")]);
    }
    EXPECT_EQ(interaction.QuestionCount(), 0U); // no clear was asked about
    EXPECT_EQ(interaction.openedAddresses.size(), during.size());
    EXPECT_EQ(Rows().size(), 3);
    // Afterwards every button is back, the focus where it was.
    for (const bool enabled : ButtonStates())
        EXPECT_TRUE(enabled);
    EXPECT_FALSE(window.CommandRunning());
    EXPECT_EQ(QApplication::focusWidget(), Child("CmdAddFolder"));
}

TEST_F(FrmStep1Test, FilesAndFoldersDroppedOnTheListAreAdded)
{
    Show();
    QTemporaryDir folder;
    const QString dropped = MessageFolder(folder, 2);
    QTemporaryDir other;
    ASSERT_TRUE(other.isValid());
    const QString loose = QDir::toNativeSeparators(other.filePath(QStringLiteral("loose.MBS")));
    QFile(loose).open(QIODevice::WriteOnly);
    window.Files().AddFileToList(QStringLiteral("/mail/a.mbs"));

    // A name that is not UTF-8 comes as the file manager's percent-encoded bytes.
    const std::string latin1 = QFile::encodeName(other.path()).toStdString() + "/caf\xE9.mbs";
    std::ofstream(latin1) << "Subject: x\r\n\r\nx\r\n";
    const QUrl latin1Url = QUrl::fromEncoded("file://" + QByteArray::fromStdString(latin1).toPercentEncoding("/"));

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(loose), latin1Url, QUrl::fromLocalFile(folder.path()),
                  QUrl(QStringLiteral("https://example.org/x.mbs"))});
    QWidget *target = window.Controls().grdFiles1->viewport();
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    // The files are added once the drop is over.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !interaction.messages.empty(); }));

    const QStringList rows = Rows();
    ASSERT_EQ(rows.size(), 5);
    EXPECT_EQ(rows[0], QStringLiteral("/mail/a.mbs"));
    EXPECT_EQ(rows[1], loose);
#ifndef Q_OS_WIN // Windows names are UTF-16 text, never such bytes
    EXPECT_EQ(window.Files().PathAt(2), latin1);
#endif
    EXPECT_TRUE(rows[3].startsWith(dropped) && rows[4].startsWith(dropped));
    EXPECT_EQ(window.Controls().lblCount1->text(), QStringLiteral("5 files"));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Notice);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("4 Files Added to List."));
    std::remove(latin1.c_str()); // a name QTemporaryDir cannot remove

    // Something that names no local file is refused.
    QMimeData text;
    text.setText(QStringLiteral("/mail/b.mbs"));
    QDragEnterEvent refused(at, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &refused);
    EXPECT_FALSE(refused.isAccepted());
}

TEST_F(FrmStep1Test, NothingCanBeDroppedWhileAScanRuns)
{
    Show();
    QTemporaryDir folder;
    interaction.folders = {MessageFolder(folder, 2)};
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(folder.filePath(QStringLiteral("0.mbs")))});
    QWidget *target = window.Controls().grdFiles1->viewport();
    bool acceptedDuringScan = true;
    onYield = [&] {
        QDragEnterEvent enter(target->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        acceptedDuringScan = acceptedDuringScan && enter.isAccepted();
    };
    Click("CmdAddFolder");
    onYield = nullptr;
    EXPECT_FALSE(acceptedDuringScan);
    EXPECT_EQ(Rows().size(), 2);
}

TEST_F(FrmStep1Test, ScreenshotIsSavedInTheBuildFolder)
{
    Show();
    const QString folder = QStringLiteral(TOVALY_TEST_BINARY_DIR);
    const QImage empty = window.grab().toImage();
    EXPECT_EQ(empty.size(), QSize(543, 418) * window.devicePixelRatioF());
    ASSERT_TRUE(empty.save(folder + QStringLiteral("/frmStep1.png")));

    for (const char *name : {"0001.mbs", "0002.mbs", "0003.mbs"})
        window.Files().AddFileToList(QStringLiteral("C:\\Users\\ann\\AppData\\Roaming\\Opera Mail\\Mail\\store\\"
                                                    "account1\\2013\\11\\") +
                                     QString::fromLatin1(name));
    window.Controls().CmdConvert2MBOX->setEnabled(true);
    ASSERT_TRUE(window.grab().save(folder + QStringLiteral("/frmStep1-files.png")));
}

} // namespace
} // namespace tovaly
