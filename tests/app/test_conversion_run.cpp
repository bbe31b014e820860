#include "conversion_run.h"

#include "application_title.h"
#include "batch_conversion.h"
#include "frm_step1.h"
#include "gui_test.h"
#include "output_layout.h"
#include "scripted_interaction.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace tovaly {
namespace {

using tovaly::testing::Message;
using tovaly::testing::ScriptedInteraction;

const QString kCompletionText = QStringLiteral(
    "Export Completed Successfully !\r\n"
    "Your data has been successfully exported to .mbox format (Compatible for Mac Mail).\r\n"
    "Move converted folders to Mac and import it into Apple Mac Mail by using the import option from File Menu.");

// What the window showed at one yield.
struct Seen {
    int currentRow;
    QString counter;
    int overall;
    QString bytes;
    int message;
    bool convertEnabled;
};

class ConversionRunTest : public tovaly::testing::GuiTest {
protected:
    ConversionRunTest()
        : window({
            .interaction = &interaction,
            .yield = [this] { Yielded(); },
            .endProgram = [] {},
            .helpAddress = QString(),
            .initialiseControls = [] {},
            .clock = [this] { return now += clockStep; },
        })
    {
    }

    void SetUp() override { ASSERT_TRUE(temp.isValid()); }

    // Yields of commands started from inside a yield are not looked at.
    void Yielded()
    {
        if (nested == 0) {
            const FrmStep1Controls &c = window.Controls();
            seen.push_back({c.grdFiles1->currentRow(), c.LblProgessCurrent->text(), c.ProgressBar1->value(),
                            c.LblByteRead->text(), c.EmlProgress->value(), c.CmdConvert2MBOX->isEnabled()});
            struct Depth {
                int &count;
                ~Depth() { --count; }
            } depth{++nested};
            if (onYield)
                onYield();
        }
        QCoreApplication::processEvents();
    }

    // A message file of `lines` body lines with CR LF endings.
    QString WriteMessage(const QString &relative, const QString &subject, int lines = 3)
    {
        const QString path = QDir::toNativeSeparators(temp.path() + QLatin1Char('/') + relative);
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray text = "Date: Tue, 05 Mar 2024 09:07:03 +0000\r\n"
                          "From: Ann Example <ann@example.org>\r\n"
                          "Subject: " + subject.toUtf8() + "\r\n\r\n";
        for (int i = 0; i < lines; ++i)
            text += "Line " + QByteArray::number(i) + " of the message body.\r\n";
        file.write(text);
        return path;
    }

    QString OutputFolder() const { return QDir::toNativeSeparators(temp.path() + QStringLiteral("/out")); }

    // The mailbox a source goes to under the output folder.
    QString MailboxOf(const QString &source) const
    {
        const MailboxLocation location = MailboxPathFor(QFile::encodeName(source).toStdString(),
                                                        QFile::encodeName(OutputFolder()).toStdString());
        return QFile::decodeName(QByteArray::fromStdString(location.mailboxPath));
    }

    // Records in a mailbox: its lines that start with "From ".
    static int RecordsIn(const QString &mailbox)
    {
        QFile file(mailbox);
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        int records = 0;
        for (const QByteArray &line : file.readAll().split('\n'))
            records += line.startsWith("From ") ? 1 : 0;
        return records;
    }

    void Add(const QString &path)
    {
        window.Files().AddFileToList(path);
        window.Controls().CmdConvert2MBOX->setEnabled(true);
    }

    void Convert(const QString &folder)
    {
        interaction.folders.push_back(folder);
        Convert();
    }

    void Convert()
    {
        seen.clear();
        window.Controls().CmdConvert2MBOX->click();
    }

    QTemporaryDir temp;
    ScriptedInteraction interaction;
    std::int64_t now = 0;
    std::int64_t clockStep = 0; // a frozen clock: only row boundaries refresh
    std::vector<Seen> seen;
    std::function<void()> onYield;
    int nested = 0;
    FrmStep1 window;
};

TEST_F(ConversionRunTest, CancellingThePickerChangesNothing)
{
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    Add(source);
    const FrmStep1Controls &c = window.Controls();
    c.ProgressBar1->setValue(40);
    c.EmlProgress->setValue(70);
    c.LblProgessCurrent->setText(QStringLiteral("Message 2 (of 5)"));

    Convert(); // nothing queued: the picker is cancelled
    EXPECT_EQ(interaction.folderTitles, QStringList{QStringLiteral("Choose Folder to Save...")});
    EXPECT_TRUE(interaction.messages.empty());
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(c.CmdConvert2MBOX->isEnabled());
    EXPECT_EQ(c.ProgressBar1->value(), 40);
    EXPECT_EQ(c.EmlProgress->value(), 70);
    EXPECT_EQ(c.LblProgessCurrent->text(), QStringLiteral("Message 2 (of 5)"));
    EXPECT_EQ(c.LblByteRead->text(), QStringLiteral("<  Not Available >"));
    EXPECT_FALSE(window.ConversionActive());
}

TEST_F(ConversionRunTest, OneFileFillsTheBarsAndEndsWithTheCompletionBox)
{
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    const qint64 size = QFileInfo(source).size();
    Add(QStringLiteral("  ") + source + QStringLiteral(" ")); // spaces around the path are dropped

    Convert(OutputFolder()); // chosen without a trailing separator
    const FrmStep1Controls &c = window.Controls();
    EXPECT_EQ(c.ProgressBar1->value(), 100);
    EXPECT_EQ(c.LblProgessCurrent->text(), QStringLiteral("Message 1 (of 1)"));
    EXPECT_EQ(c.EmlProgress->value(), 100);
    EXPECT_EQ(c.LblByteRead->text(), QStringLiteral("%1 Bytes out of %1 Total Bytes.").arg(size));
    EXPECT_EQ(RecordsIn(MailboxOf(source)), 1);
    EXPECT_TRUE(MailboxOf(source).endsWith(QDir::toNativeSeparators(QStringLiteral("/inbox/inbox.mbox"))));

    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Information);
    EXPECT_EQ(interaction.messages[0].title, QStringLiteral("Opera to MBOX Converter"));
    EXPECT_EQ(interaction.messages[0].text, kCompletionText);
    EXPECT_TRUE(c.CmdConvert2MBOX->isEnabled());
    EXPECT_FALSE(window.ConversionActive());
    EXPECT_EQ(window.Files().TextAt(0), QStringLiteral("  ") + source + QStringLiteral(" ")); // list unchanged
}

TEST_F(ConversionRunTest, ThreeFilesInTwoFoldersGiveTwoMailboxesAndTheCounterSteps)
{
    const QString a = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("a"), 200);
    const QString b = WriteMessage(QStringLiteral("mail/inbox/2.mbs"), QStringLiteral("b"), 200);
    const QString s = WriteMessage(QStringLiteral("mail/sent/1.mbs"), QStringLiteral("s"), 200);
    for (const QString &path : {a, b, s})
        Add(path);

    Convert(OutputFolder() + QDir::separator());
    EXPECT_EQ(RecordsIn(MailboxOf(a)), 2);
    EXPECT_EQ(MailboxOf(a), MailboxOf(b));
    EXPECT_EQ(RecordsIn(MailboxOf(s)), 1);
    EXPECT_NE(MailboxOf(a), MailboxOf(s));

    // With the clock standing still the window yields only at the row
    // boundaries: once before the loop, then after selecting each row and
    // after making its folder. The row counter and the overall bar move
    // after each row; the button is taken before the loop.
    ASSERT_EQ(seen.size(), 7U);
    const int rows[] = {2 /* the last row added */, 0, 0, 1, 1, 2, 2};
    const char *counters[] = {"Message 0 (of 0)", "Message 0 (of 0)", "Message 0 (of 0)", "Message 1 (of 3)",
                              "Message 1 (of 3)", "Message 2 (of 3)", "Message 2 (of 3)"};
    const int overall[] = {0, 0, 0, 33, 33, 67, 67};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].currentRow, rows[i]);
        EXPECT_EQ(seen[i].counter, QString::fromLatin1(counters[i]));
        EXPECT_EQ(seen[i].overall, overall[i]);
        EXPECT_EQ(seen[i].convertEnabled, i == 0);
    }
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 3 (of 3)"));
    EXPECT_EQ(window.Controls().ProgressBar1->value(), 100);
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, kCompletionText);
}

TEST_F(ConversionRunTest, LineProgressIsShownAtMostOncePerIntervalAndAlwaysConsistent)
{
    const QString big = WriteMessage(QStringLiteral("mail/inbox/big.mbs"), QStringLiteral("big"), 2000);
    Add(big);
    const qint64 size = QFileInfo(big).size();
    const QRegularExpression counter(QStringLiteral("^(\\d+) Bytes out of (\\d+) Total Bytes\\.$"));

    const auto checkConsistent = [&] {
        std::uint64_t last = 0;
        for (const Seen &s : seen) {
            const QRegularExpressionMatch match = counter.match(s.bytes);
            if (!match.hasMatch())
                continue; // before the first line
            const std::uint64_t n = match.captured(1).toULongLong();
            const std::uint64_t m = match.captured(2).toULongLong();
            EXPECT_EQ(m, static_cast<std::uint64_t>(size));
            EXPECT_EQ(s.message, ProgressPercent(n, m)) << s.bytes.toStdString();
            EXPECT_GE(n, last);
            last = n;
        }
    };

    // A clock that stands still: three yields, and the last numbers still
    // reach the controls when the file is done.
    Convert(OutputFolder());
    EXPECT_EQ(seen.size(), 3U);
    EXPECT_EQ(window.Controls().LblByteRead->text(), QStringLiteral("%1 Bytes out of %1 Total Bytes.").arg(size));
    EXPECT_EQ(window.Controls().EmlProgress->value(), 100);

    // The counter keeps the last run's numbers until the first line is
    // read; start from the design-time caption so each run is seen alone.
    const auto resetCounter = [this] { window.Controls().LblByteRead->setText(QStringLiteral("<  Not Available >")); };

    // 5 ms between two looks at the clock: one refresh in every four.
    clockStep = 5;
    resetCounter();
    Convert(OutputFolder());
    checkConsistent();
    EXPECT_GT(seen.size(), 2000U / 5);
    EXPECT_LT(seen.size(), 2000U / 3);

    // A slow machine: every point of the writer refreshes.
    clockStep = kDisplayIntervalMs;
    resetCounter();
    Convert(OutputFolder());
    checkConsistent();
    EXPECT_GT(seen.size(), 2000U);
    EXPECT_EQ(RecordsIn(MailboxOf(big)), 3);
}

TEST_F(ConversionRunTest, FailuresAreReportedInsteadOfSuccess)
{
    const QString good = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("good"));
    const QString missing = QDir::toNativeSeparators(temp.path() + QStringLiteral("/mail/inbox/gone.mbs"));
    Add(good);
    Add(missing);

    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    const Message &report = interaction.messages[0];
    EXPECT_EQ(report.kind, Message::Kind::Warning);
    EXPECT_EQ(report.title, ApplicationTitle());
    const QStringList lines = report.text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("1 of 2 files could not be converted:"));
    EXPECT_TRUE(lines[1].contains(missing)) << lines[1].toStdString();
    EXPECT_EQ(lines[2], QStringLiteral("The other files have been exported to .mbox format."));
    EXPECT_EQ(RecordsIn(MailboxOf(good)), 1);
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 2 (of 2)"));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());

    // An output folder that is a file: nothing can be written.
    QFile blocker(temp.path() + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    interaction.messages.clear();
    Convert(QDir::toNativeSeparators(blocker.fileName()));
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Warning);
    EXPECT_TRUE(interaction.messages[0].text.startsWith(QStringLiteral("2 of 2 files could not be converted:\r\n")));
    EXPECT_FALSE(interaction.messages[0].text.contains(QStringLiteral("have been exported")));
}

TEST_F(ConversionRunTest, ALongFailureListNamesTheFirstTenAndCountsTheRest)
{
    for (int i = 0; i < 12; ++i)
        Add(QDir::toNativeSeparators(temp.path() + QStringLiteral("/missing/%1.mbs").arg(i)));
    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    const QStringList lines = interaction.messages[0].text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 12);
    EXPECT_EQ(lines.front(), QStringLiteral("12 of 12 files could not be converted:"));
    EXPECT_TRUE(lines[10].contains(QStringLiteral("9.mbs")));
    EXPECT_EQ(lines.back(), QStringLiteral("and 2 more."));

    // A reason that does not name the file gets the path in front.
    const std::vector<FileFailure> failures{{"/m/a.mbs", 5, "disk on fire"}};
    EXPECT_EQ(FailureReportText(failures, 1),
              QStringLiteral("1 of 1 files could not be converted:\r\n/m/a.mbs: disk on fire"));
}

TEST_F(ConversionRunTest, RunningTwiceDoublesTheRecordsAndARepeatedPathGivesTwo)
{
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    Add(source);
    Add(source);
    Convert(OutputFolder());
    EXPECT_EQ(RecordsIn(MailboxOf(source)), 2);
    Convert(OutputFolder());
    EXPECT_EQ(RecordsIn(MailboxOf(source)), 4);
    EXPECT_EQ(interaction.messages.size(), 2U);
}

TEST_F(ConversionRunTest, AnEmptyListIsSaidSoAndEmptyRowsAreSkipped)
{
    window.Controls().CmdConvert2MBOX->setEnabled(true); // as after a clear
    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Information);
    EXPECT_EQ(interaction.messages[0].title, ApplicationTitle());
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("There are no files in the list to convert."));
    EXPECT_TRUE(interaction.folderTitles.isEmpty()); // no folder asked for
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 0 (of 0)"));
    EXPECT_FALSE(QDir(OutputFolder()).exists());

    // A row of spaces counts as empty.
    interaction.messages.clear();
    interaction.folders.clear();
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    Add(QStringLiteral("   "));
    Add(source);
    Convert(OutputFolder());
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 1 (of 1)"));
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, kCompletionText);
}

TEST_F(ConversionRunTest, NoSecondRunStartsInsideTheFirstAndTheListCanChangeSafely)
{
    const QString a = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("a"));
    const QString b = WriteMessage(QStringLiteral("mail/inbox/2.mbs"), QStringLiteral("b"));
    const QString c = WriteMessage(QStringLiteral("mail/inbox/3.mbs"), QStringLiteral("c"));
    const QString other = WriteMessage(QStringLiteral("other/x.mbs"), QStringLiteral("x"));
    for (const QString &path : {a, b, c})
        Add(path);

    QPushButton *convert = window.Controls().CmdConvert2MBOX;
    int yieldNumber = 0;
    onYield = [&] {
        ++yieldNumber;
        EXPECT_TRUE(window.ConversionActive());
        if (yieldNumber == 1) {
            // Before the loop the button is still enabled: a click there
            // is refused.
            ASSERT_TRUE(convert->isEnabled());
            interaction.folders.push_back(OutputFolder());
            convert->click();
            EXPECT_EQ(interaction.folderTitles.size(), 1);
            interaction.folders.clear();
        } else if (yieldNumber == 2) {
            // Replacing the list does not give the button back.
            interaction.pickedFiles = {{other}};
            window.Controls().cmdAdd->click();
            EXPECT_EQ(window.Files().RowCount(), 1);
            EXPECT_FALSE(convert->isEnabled());
        } else if (yieldNumber == 4) {
            // Nor does adding a folder.
            interaction.folders.push_back(QDir::toNativeSeparators(temp.path() + QStringLiteral("/other")));
            window.Controls().CmdAddFolder->click();
            EXPECT_EQ(window.Files().RowCount(), 2);
            EXPECT_FALSE(convert->isEnabled());
        }
    };
    Convert(OutputFolder());
    onYield = nullptr;

    // The run converted the list as it was when it started.
    EXPECT_EQ(RecordsIn(MailboxOf(a)), 3);
    EXPECT_EQ(RecordsIn(MailboxOf(other)), -1);
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 3 (of 3)"));
    // Rows that no longer show the file being converted are not selected.
    ASSERT_EQ(seen.size(), 7U);
    for (std::size_t i = 4; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].currentRow, 1) << i;
    EXPECT_TRUE(convert->isEnabled());
    EXPECT_FALSE(window.ConversionActive());
    ASSERT_FALSE(interaction.messages.empty());
    EXPECT_EQ(interaction.messages.back().text, kCompletionText);
    EXPECT_EQ(interaction.messages.front().text, QStringLiteral("1 Files Added to List."));
}

TEST_F(ConversionRunTest, AFailureOfTheWindowSideEndsTheRunAndGivesTheButtonBack)
{
    Add(WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("a")));
    int yieldNumber = 0;
    onYield = [&] {
        if (++yieldNumber == 2)
            throw std::runtime_error("display gone");
    };
    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Warning);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("The conversion stopped: display gone"));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
    EXPECT_FALSE(window.ConversionActive());
}

TEST_F(ConversionRunTest, ATornMailboxIsCompletedAndTheClosingBoxSaysSo)
{
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    Add(source);
    Convert(OutputFolder());
    interaction.messages.clear();
    // A killed run left the mailbox ending inside a line.
    QFile mailbox(MailboxOf(source));
    ASSERT_TRUE(mailbox.open(QIODevice::Append));
    mailbox.write("From x@example.org Tue Mar 05 09:07:03 2024\nSubject: cut");
    mailbox.close();

    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Information);
    EXPECT_TRUE(interaction.messages[0].text.startsWith(CompletionText()));
    EXPECT_TRUE(interaction.messages[0].text.contains(QStringLiteral("\r\nPlease note:\r\nmailbox '")));
    EXPECT_TRUE(interaction.messages[0].text.endsWith(
        QStringLiteral("); added a line end and an empty line before the next record")));
    EXPECT_EQ(RecordsIn(MailboxOf(source)), 3);
}

} // namespace
} // namespace tovaly
