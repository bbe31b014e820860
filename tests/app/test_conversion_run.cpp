#include "application_title.h"
#include "batch_conversion.h"
#include "conversion_run.h"
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
#include <QTableView>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace tovaly {
using ::testing::HasSubstr;

namespace {

using tovaly::testing::Message;
using tovaly::testing::ScriptedInteraction;

const QString kCompletionText = QStringLiteral(
    "Export Completed Successfully !\r\n"
    "Your data has been successfully exported to .mbox format (Compatible for Mac Mail).\r\n"
    "Move converted folders to Mac and import it into Apple Mac Mail by using the import option from File Menu.");

// The completion box of a run that wrote `messages` into `mailboxes`.
QString Completed(int messages, int mailboxes)
{
    return kCompletionText + QStringLiteral("\r\n%1 %2 in %3 %4 read back and matched.")
                                 .arg(messages)
                                 .arg(messages == 1 ? QStringLiteral("message") : QStringLiteral("messages"))
                                 .arg(mailboxes)
                                 .arg(mailboxes == 1 ? QStringLiteral("mailbox") : QStringLiteral("mailboxes"));
}

// What the window showed at one yield.
struct Seen {
    int currentRow;
    QString counter;
    int overall;
    QString bytes;
    int message;
    bool convertEnabled;
    bool listCommandsEnabled; // any of add, add folder, clear
    std::int64_t at;          // the pump's clock
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
            seen.push_back({c.grdFiles1->currentIndex().row(), c.LblProgessCurrent->text(), c.ProgressBar1->value(),
                            c.LblByteRead->text(), c.EmlProgress->value(), c.CmdConvert2MBOX->isEnabled(),
                            c.cmdAdd->isEnabled() || c.CmdAddFolder->isEnabled() || c.cmdClear1->isEnabled(), now});
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
                          "Subject: " +
                          subject.toUtf8() + "\r\n\r\n";
        for (int i = 0; i < lines; ++i)
            text += "Line " + QByteArray::number(i) + " of the message body.\r\n";
        file.write(text);
        return path;
    }

    // A message file of exactly `bytes` as given.
    QString WriteRaw(const QString &relative, const QByteArray &bytes)
    {
        const QString path = QDir::toNativeSeparators(temp.path() + QLatin1Char('/') + relative);
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QString OutputFolder() const { return QDir::toNativeSeparators(temp.path() + QStringLiteral("/out")); }

    // The mailbox a source goes to under the output folder.
    QString MailboxOf(const QString &source) const
    {
        const MailboxLocation location =
            MailboxPathFor(QFile::encodeName(source).toStdString(), QFile::encodeName(OutputFolder()).toStdString());
        return QFile::decodeName(QByteArray::fromStdString(location.Path()));
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
    // A clock that jumps past the interval at every look: the window is
    // served at every yield. 0 freezes it: only the serve before the loop.
    std::int64_t clockStep = kServeIntervalMs;
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
    Add(source);

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
    EXPECT_EQ(interaction.messages[0].text, Completed(1, 1));
    EXPECT_TRUE(c.CmdConvert2MBOX->isEnabled());
    EXPECT_FALSE(window.ConversionActive());
    EXPECT_EQ(window.Files().TextAt(0), source); // list unchanged
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

    // The window is served once before the loop, with the button still
    // there; from then on, at every serve, the grid's current row is the
    // file being converted and the counter and the overall bar say how
    // many files are done: exactly, at every one of the hundreds of serves.
    ASSERT_GT(seen.size(), 600U);
    EXPECT_EQ(seen[0].currentRow, 2); // the last row added
    EXPECT_EQ(seen[0].counter, QStringLiteral("Message 0 (of 0)"));
    EXPECT_TRUE(seen[0].convertEnabled);
    const int overall[] = {0, 33, 67};
    int rowsSeen[3] = {0, 0, 0};
    int lastRow = 0;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        const int row = seen[i].currentRow;
        if (seen[i].counter == QStringLiteral("Message 3 (of 3)")) {
            // Every file done: the mailboxes are read back.
            EXPECT_EQ(row, 2);
            EXPECT_EQ(seen[i].overall, 100);
            continue;
        }
        ASSERT_GE(row, lastRow);
        ASSERT_LE(row, 2);
        lastRow = row;
        ++rowsSeen[row];
        EXPECT_EQ(seen[i].counter,
                  row == 0 ? QStringLiteral("Message 0 (of 0)") : QStringLiteral("Message %1 (of 3)").arg(row));
        EXPECT_EQ(seen[i].overall, overall[row]);
        EXPECT_FALSE(seen[i].convertEnabled);
        EXPECT_FALSE(seen[i].listCommandsEnabled);
    }
    for (int row : rowsSeen)
        EXPECT_GT(row, 200); // a serve at every line of each file
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 3 (of 3)"));
    EXPECT_EQ(window.Controls().ProgressBar1->value(), 100);
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, Completed(3, 2));
    EXPECT_TRUE(window.Controls().CmdConvert2MBOX->isEnabled());
    EXPECT_TRUE(window.Controls().cmdClear1->isEnabled());
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
            EXPECT_LE(n, m);
            EXPECT_EQ(s.message, ProgressPercent(n, m)) << s.bytes.toStdString();
            EXPECT_GE(n, last);
            last = n;
        }
    };

    // A clock that stands still: the window is served once, before the
    // loop, and the last numbers still reach the controls at the end.
    clockStep = 0;
    Convert(OutputFolder());
    EXPECT_EQ(seen.size(), 1U);
    EXPECT_EQ(window.Controls().LblByteRead->text(), QStringLiteral("%1 Bytes out of %1 Total Bytes.").arg(size));
    EXPECT_EQ(window.Controls().EmlProgress->value(), 100);

    // The counter keeps the last run's numbers until the first line is
    // read; start from the design-time caption so each run is seen alone.
    const auto resetCounter = [this] { window.Controls().LblByteRead->setText(QStringLiteral("<  Not Available >")); };

    // 5 ms between two looks at the clock: a serve at every third yield,
    // never two within the interval.
    clockStep = 5;
    resetCounter();
    Convert(OutputFolder());
    checkConsistent();
    EXPECT_GT(seen.size(), 2000U / 4);
    EXPECT_LT(seen.size(), 2000U / 2);
    for (std::size_t i = 2; i < seen.size(); ++i)
        EXPECT_GE(seen[i].at - seen[i - 1].at, kServeIntervalMs) << i;

    // A slow machine: every yield serves.
    clockStep = kServeIntervalMs;
    resetCounter();
    Convert(OutputFolder());
    checkConsistent();
    EXPECT_GT(seen.size(), 2000U);
    EXPECT_EQ(RecordsIn(MailboxOf(big)), 1); // the reruns found it there
}

TEST(ProgressPercent, RoundsHalfToEvenAndCapsAt100)
{
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, int>> table = {
        {0, 5, 0},
        {1, 8, 12},
        {3, 8, 38},
        {5, 8, 62},
        {7, 8, 88},
        {1, 200, 0},
        {3, 200, 2},
        {1, 3, 33},
        {2, 3, 67},
        {199, 200, 100},
        {300, 300, 100},
        {301, 300, 100},
        {std::numeric_limits<std::uint64_t>::max(), 1, 100},
        {5, 0, 0},
    };
    for (const auto &[n, m, percent] : table)
        EXPECT_EQ(ProgressPercent(n, m), percent) << n << " of " << m;
}

TEST_F(ConversionRunTest, TheByteCounterNeverShowsMoreThanTheTotal)
{
    EXPECT_EQ(ByteCounterText(2855, 2853), QStringLiteral("2853 Bytes out of 2853 Total Bytes."));
    EXPECT_EQ(ByteCounterText(3, 8), QStringLiteral("3 Bytes out of 8 Total Bytes."));
    EXPECT_EQ(ByteCounterText(0, 0), QStringLiteral("0 Bytes out of 0 Total Bytes."));

    // Lines ending in LF, a last line without an ending, lone CR: the
    // reader counts more bytes than the file has.
    const QByteArray header = "Date: Tue, 05 Mar 2024 09:07:03 +0000\nFrom: ann@example.org\n\n";
    const QString lf = WriteRaw(QStringLiteral("mail/lf/1.mbs"), header + "one\ntwo\n");
    const QString open = WriteRaw(QStringLiteral("mail/open/1.mbs"), "Subject: x\r\n\r\nno line end");
    const QString cr = WriteRaw(QStringLiteral("mail/cr/1.mbs"), "Subject: x\r\rone\rtwo\r");
    const QRegularExpression caption(QStringLiteral("^(\\d+) Bytes out of (\\d+) Total Bytes\\.$"));
    for (const QString &source : {lf, open, cr}) {
        SCOPED_TRACE(source.toStdString());
        window.Controls().LblByteRead->setText(QStringLiteral("<  Not Available >"));
        Add(source);
        Convert(OutputFolder());
        window.Files().ClearFileList();
        const qint64 size = QFileInfo(source).size();
        EXPECT_EQ(window.Controls().LblByteRead->text(), QStringLiteral("%1 Bytes out of %1 Total Bytes.").arg(size));
        EXPECT_EQ(window.Controls().EmlProgress->value(), 100);
        for (const Seen &s : seen) {
            const QRegularExpressionMatch match = caption.match(s.bytes);
            if (match.hasMatch()) {
                EXPECT_LE(match.captured(1).toULongLong(), match.captured(2).toULongLong()) << s.bytes.toStdString();
            }
        }
    }
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
    EXPECT_EQ(report.text, QStringLiteral("1 of 2 files could not be converted.\r\n"
                                          "The other files have been exported to .mbox format.\r\n"
                                          "1 message in 1 mailbox read back and matched."));
    EXPECT_TRUE(report.details.contains(missing)) << report.details.toStdString();
    EXPECT_FALSE(report.details.contains(QLatin1Char('\n')));
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
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("2 of 2 files could not be converted."));
    EXPECT_EQ(interaction.messages[0].details.split(QLatin1Char('\n')).size(), 2);
}

TEST_F(ConversionRunTest, ALongFailureListKeepsEveryFailureInTheDetails)
{
    for (int i = 0; i < 300; ++i)
        Add(QDir::toNativeSeparators(temp.path() + QStringLiteral("/missing/%1.mbs").arg(i)));
    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, QStringLiteral("300 of 300 files could not be converted."));
    const QStringList lines = interaction.messages[0].details.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 300);
    for (int i = 0; i < 300; ++i) {
        // One line per failure, in list order, naming the file and why.
        const QString path = QDir::toNativeSeparators(temp.path() + QStringLiteral("/missing/%1.mbs").arg(i));
        EXPECT_TRUE(lines[i].contains(path)) << lines[i].toStdString();
        EXPECT_GT(lines[i].size(), path.size() + 5) << lines[i].toStdString();
    }

    // A reason never names the file: the path goes in front.
    const std::vector<FileFailure> failures{{"/m/a.mbs", 5, "disk on fire"}, {"/m/b.mbs", 2, "cannot open: gone"}};
    EXPECT_EQ(FailureDetailsText(failures), QStringLiteral("/m/a.mbs: disk on fire\n/m/b.mbs: cannot open: gone"));
    EXPECT_EQ(FailureSummaryText(2, 5), QStringLiteral("2 of 5 files could not be converted.\r\n"
                                                       "The other files have been exported to .mbox format."));
}

TEST_F(ConversionRunTest, ARerunIntoTheSameOutputLeavesOutWhatTheMailboxesHold)
{
    const QString one = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    const QString two = WriteMessage(QStringLiteral("mail/inbox/2.mbs"), QStringLiteral("two"));
    const QString sent = WriteMessage(QStringLiteral("mail/sent/1.mbs"), QStringLiteral("sent"));
    struct Case {
        QStringList first, second; // the lists of the two runs
        int inbox, sentRecords;    // records after both
        QString box;               // the second run's closing box after the completion text
    };
    const std::vector<Case> cases{
        {{one}, {one}, 1, -1, QStringLiteral("1 message was already in its mailbox and was left out.")},
        {{one, two, sent},
         {one, two, sent},
         2,
         1,
         QStringLiteral("3 messages were already in their mailboxes and were left out.")},
        {{one},
         {one, two, sent},
         2,
         1,
         QStringLiteral("1 message was already in its mailbox and was left out.\r\n"
                        "2 messages in 2 mailboxes read back and matched.")},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        QDir(OutputFolder()).removeRecursively();
        for (const QStringList &list : {cases[i].first, cases[i].second}) {
            window.Files().ClearFileList();
            for (const QString &path : list)
                Add(path);
            interaction.messages.clear();
            Convert(OutputFolder());
        }
        EXPECT_EQ(RecordsIn(MailboxOf(one)), cases[i].inbox);
        EXPECT_EQ(RecordsIn(MailboxOf(sent)), cases[i].sentRecords);
        ASSERT_EQ(interaction.messages.size(), 1U);
        EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Information);
        EXPECT_EQ(interaction.messages[0].text, kCompletionText + QStringLiteral("\r\n") + cases[i].box);
    }
}

TEST_F(ConversionRunTest, AMailboxThatDoesNotReadBackAsWrittenIsAFailureWithDetails)
{
    const QString a = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("a"));
    const QString b = WriteMessage(QStringLiteral("mail/inbox/2.mbs"), QStringLiteral("b"));
    const QString missing = QDir::toNativeSeparators(temp.path() + QStringLiteral("/mail/inbox/gone.mbs"));
    // Another program writes a record of its own between two of the run.
    bool written = false;
    onYield = [&] {
        if (!written && window.Controls().LblProgessCurrent->text() == QStringLiteral("Message 1 (of 3)")) {
            QFile mailbox(MailboxOf(a));
            ASSERT_TRUE(mailbox.open(QIODevice::Append));
            mailbox.write("From other@example.org Tue Mar 05 09:07:03 2024\nSubject: theirs\n\n");
            written = true;
        }
    };
    for (const QString &path : {a, missing, b})
        Add(path);
    Convert(OutputFolder());
    ASSERT_TRUE(written);
    ASSERT_EQ(interaction.messages.size(), 1U);
    const Message &report = interaction.messages[0];
    EXPECT_EQ(report.kind, Message::Kind::Warning);
    EXPECT_EQ(report.text, QStringLiteral("1 of 3 files could not be converted.\r\n"
                                          "The other files have been exported to .mbox format.\r\n"
                                          "2 messages in 1 mailbox read back; 1 mismatch."));
    const QStringList details = report.details.split(QLatin1Char('\n'));
    ASSERT_EQ(details.size(), 2);
    EXPECT_TRUE(details[0].contains(missing));
    EXPECT_TRUE(details[1].startsWith(MailboxOf(a) + QStringLiteral(": the record at byte ")));
    EXPECT_TRUE(details[1].endsWith(QStringLiteral(" is none of the messages written to it")));
}

TEST_F(ConversionRunTest, NamesThatAreNotTextInTheLocaleAreConverted)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "Windows names are UTF-16 text: no name is bytes outside the locale's text";
#endif
    namespace fs = std::filesystem;
    const std::string root = QFile::encodeName(temp.path()).toStdString() + "/store";
    // Below the store, as bytes, each found by Add Folder.
    const std::vector<std::string> cases{
        "caf\xE9/1.mbs",     // a Latin-1 folder name
        "inbox /1.mbs",      // a folder name ending in a space
        "sent/1.mbs ",       // a file name ending in a space
        "caf\xC3\xA9/1.mbs", // the UTF-8 name beside the Latin-1 one
    };
    for (const std::string &file : cases) {
        const fs::path path(root + "/" + file);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << "From: ann@example.org\r\nSubject: " << file << "\r\n\r\nbody\r\n";
    }
    interaction.folders.push_back(QFile::decodeName(QByteArray::fromStdString(root)));
    window.Controls().CmdAddFolder->click();
    ASSERT_EQ(window.Files().RowCount(), static_cast<int>(cases.size()));
    interaction.messages.clear();
    Convert(OutputFolder());

    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Information)
        << interaction.messages[0].details.toStdString();
    EXPECT_EQ(interaction.messages[0].text, Completed(4, 4));
    for (const std::string &file : cases) {
        const MailboxLocation location =
            MailboxPathFor(root + "/" + file, QFile::encodeName(OutputFolder()).toStdString());
        std::ifstream in(location.Path(), std::ios::binary);
        const std::string mailbox((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_THAT(mailbox, HasSubstr("Subject: " + file + "\n")) << file;
    }
    fs::remove_all(root); // names QTemporaryDir cannot remove
    fs::remove_all(QFile::encodeName(OutputFolder()).toStdString());
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

    // An empty path is never listed.
    interaction.messages.clear();
    interaction.folders.clear();
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    EXPECT_FALSE(window.Files().AddFileToList(std::string()));
    Add(source);
    Convert(OutputFolder());
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 1 (of 1)"));
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].text, Completed(1, 1));
}

TEST_F(ConversionRunTest, NoOtherListCommandOrSecondRunStartsInsideTheRun)
{
    const QString a = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("a"));
    const QString b = WriteMessage(QStringLiteral("mail/inbox/2.mbs"), QStringLiteral("b"));
    const QString c = WriteMessage(QStringLiteral("mail/inbox/3.mbs"), QStringLiteral("c"));
    const QString other = WriteMessage(QStringLiteral("other/x.mbs"), QStringLiteral("x"));
    for (const QString &path : {a, b, c})
        Add(path);

    const FrmStep1Controls &controls = window.Controls();
    int yieldNumber = 0;
    onYield = [&] {
        ++yieldNumber;
        EXPECT_TRUE(window.ConversionActive());
        if (yieldNumber == 1) {
            // Before the loop the button is still enabled: a click there
            // is refused.
            ASSERT_TRUE(controls.CmdConvert2MBOX->isEnabled());
            interaction.folders.push_back(OutputFolder());
            controls.CmdConvert2MBOX->click();
            EXPECT_EQ(interaction.folderTitles.size(), 1);
            interaction.folders.clear();
        } else if (yieldNumber == 2) {
            // In the loop the list commands and the button are disabled: a
            // click on any of them does nothing.
            interaction.pickedFiles = {{other}};
            interaction.folders.push_back(QDir::toNativeSeparators(temp.path() + QStringLiteral("/other")));
            interaction.answers = {UserInteraction::Answer::Yes};
            for (QPushButton *button :
                 {controls.cmdAdd, controls.CmdAddFolder, controls.cmdClear1, controls.CmdConvert2MBOX}) {
                EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
                button->click();
            }
            EXPECT_TRUE(interaction.filters.isEmpty());
            EXPECT_EQ(interaction.folderTitles.size(), 1);
            EXPECT_EQ(window.Files().RowCount(), 3);
            EXPECT_TRUE(controls.CmdHelp->isEnabled());
            EXPECT_TRUE(controls.cmdEnd->isEnabled());
            interaction.pickedFiles.clear();
            interaction.folders.clear();
            interaction.answers.clear();
        } else if (yieldNumber == 20) {
            // Should the list change all the same, the run goes on with the
            // list as it was when it started.
            window.Files().ClearFileList();
            window.Files().AddFileToList(other);
        }
    };
    Convert(OutputFolder());
    onYield = nullptr;

    EXPECT_GT(yieldNumber, 21);
    EXPECT_EQ(RecordsIn(MailboxOf(a)), 3);
    EXPECT_EQ(RecordsIn(MailboxOf(other)), -1);
    EXPECT_EQ(window.Controls().LblProgessCurrent->text(), QStringLiteral("Message 3 (of 3)"));
    // Rows that no longer show the file being converted are not selected.
    EXPECT_EQ(seen.back().currentRow, 0);
    for (QPushButton *button : {controls.cmdAdd, controls.CmdAddFolder, controls.cmdClear1, controls.CmdConvert2MBOX})
        EXPECT_TRUE(button->isEnabled()) << button->objectName().toStdString();
    EXPECT_FALSE(window.ConversionActive());
    EXPECT_FALSE(window.CommandRunning());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages.back().text, Completed(3, 1));
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
    EXPECT_TRUE(window.Controls().cmdAdd->isEnabled());
    EXPECT_FALSE(window.ConversionActive());
    EXPECT_FALSE(window.CommandRunning());
}

TEST_F(ConversionRunTest, ATornMailboxIsCompletedAndTheClosingBoxSaysSo)
{
    const QString source = WriteMessage(QStringLiteral("mail/inbox/1.mbs"), QStringLiteral("one"));
    Add(source);
    Convert(OutputFolder());
    interaction.messages.clear();
    Add(WriteMessage(QStringLiteral("mail/inbox/2.mbs"), QStringLiteral("two")));
    // A killed run left the mailbox ending inside a line.
    QFile mailbox(MailboxOf(source));
    ASSERT_TRUE(mailbox.open(QIODevice::Append));
    mailbox.write("From x@example.org Tue Mar 05 09:07:03 2024\nSubject: cut");
    mailbox.close();

    Convert(OutputFolder());
    ASSERT_EQ(interaction.messages.size(), 1U);
    EXPECT_EQ(interaction.messages[0].kind, Message::Kind::Information);
    EXPECT_TRUE(interaction.messages[0].text.startsWith(
        CompletionText() +
        QStringLiteral("\r\n1 message was already in its mailbox and was left out.\r\n"
                       "1 message in 1 mailbox read back and matched.\r\nPlease note:\r\nmailbox '")));
    EXPECT_TRUE(interaction.messages[0].text.endsWith(
        QStringLiteral("); added a line end and an empty line before the next record")));
    // Nothing is cut: the torn record stays, completed, before the new one.
    QFile written(MailboxOf(source));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    // Completed with the line ends of the run: LF here, CR LF on Windows.
    const QByteArray text = written.readAll();
    EXPECT_TRUE(text.contains("\nSubject: cut\n\nFrom ") || text.contains("\nSubject: cut\r\n\r\nFrom "))
        << text.toStdString();
    EXPECT_EQ(RecordsIn(MailboxOf(source)), 3);
}

} // namespace
} // namespace tovaly
