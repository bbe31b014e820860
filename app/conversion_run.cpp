#include "conversion_run.h"

#include "application_title.h"
#include "batch_conversion.h"
#include "core_path.h"
#include "user_interaction.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace tovaly {

namespace {

const QString kLineBreak = QStringLiteral("\r\n");

// The list as the run converts it: non-empty paths and the grid row each
// came from.
struct ListCopy {
    ConversionRequest request;
    std::vector<int> rows;
};

ListCopy CopyList(const SourceFileList &list)
{
    ListCopy copy;
    for (int row = 0; row < list.RowCount(); ++row) {
        std::string path = list.PathAt(row);
        if (path.empty())
            continue;
        copy.request.sources.push_back(std::move(path));
        copy.rows.push_back(row);
    }
    // A rerun into the same output (after a closed window or a failure)
    // adds only what is missing, without cutting anything; every mailbox
    // written to is read back at the end.
    copy.request.skipExisting = true;
    copy.request.tornEnd = TornEnd::Keep;
    copy.request.verify = true;
    return copy;
}

// The window's side of a batch. It keeps the exact state of the run from
// every call of the batch and puts it on the controls only when the window
// is about to be served (and once more at the end): lines come far faster
// than a screen can show them, and every setText, setValue or change of the
// current cell costs a layout or a paint.
class StatusBlock final : public BatchObserver {
public:
    StatusBlock(const ConversionRunContext &context, const ListCopy &copy)
        : m_context(context), m_copy(copy), m_display(*context.pump, [this] { Show(); })
    {
    }

    void FileStarted(std::size_t index, std::size_t total, const std::string &path) override
    {
        (void)total;
        (void)path;
        m_file = index;
        m_rowPending = true;
    }

    void Yield() override { m_context.pump->Yield(); }

    // The window follows every file line by line, and other commands can run
    // at its yields: the batch then converts one file at a time and keeps no
    // mailbox open across a yield.
    bool FollowsLines() const override { return true; }

    void LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes) override
    {
        m_bytes = bytesSoFar;
        m_totalBytes = totalBytes;
        m_linePending = true;
    }

    void FileDone(std::size_t index, std::size_t total, const std::string &path, const RecordResult &result) override
    {
        (void)path;
        (void)result;
        m_done = index;
        m_doneTotal = total;
        m_filePending = true;
    }

    // Puts the state of the run on the controls.
    void Show()
    {
        const ConversionControls &c = m_context.controls;
        if (m_rowPending) {
            m_rowPending = false;
            // Rows may have changed in a yield; select only one that still
            // shows this file.
            const int row = m_copy.rows[m_file];
            if (row < m_context.list->RowCount() && m_context.list->PathAt(row) == m_copy.request.sources[m_file])
                m_context.list->MakeCurrent(row);
        }
        if (m_linePending) {
            m_linePending = false;
            c.LblByteRead->setText(ByteCounterText(m_bytes, m_totalBytes));
            c.EmlProgress->setValue(ProgressPercent(m_bytes, m_totalBytes));
        }
        if (m_filePending) {
            m_filePending = false;
            c.ProgressBar1->setValue(OverallPercent(m_done, m_doneTotal));
            c.LblProgessCurrent->setText(MessageCounterText(m_done, m_doneTotal));
        }
    }

private:
    const ConversionRunContext &m_context;
    const ListCopy &m_copy;
    EventPump::ScopedDisplay m_display;
    std::size_t m_file = 0;
    bool m_rowPending = false;
    bool m_linePending = false;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_totalBytes = 0;
    bool m_filePending = false;
    std::size_t m_done = 0;
    std::size_t m_doneTotal = 0;
};

} // namespace

QString CompletionTitle()
{
    return QStringLiteral("Opera to MBOX Converter");
}

QString CompletionText()
{
    return QStringLiteral("Export Completed Successfully !") + kLineBreak +
           QStringLiteral("Your data has been successfully exported to .mbox format (Compatible for Mac Mail).") +
           kLineBreak +
           QStringLiteral("Move converted folders to Mac and import it into Apple Mac Mail by using the import "
                          "option from File Menu.");
}

QString NothingToConvertText()
{
    return QStringLiteral("There are no files in the list to convert.");
}

QString FailureSummaryText(std::size_t failed, std::size_t total)
{
    QString text = QStringLiteral("%1 of %2 files could not be converted.").arg(failed).arg(total);
    if (failed < total)
        text += kLineBreak + QStringLiteral("The other files have been exported to .mbox format.");
    return text;
}

QString FailureDetailsText(const std::vector<FileFailure> &failures)
{
    QStringList lines;
    for (const FileFailure &failure : failures) {
        const QString path = FromCore(failure.path);
        const QString reason = FromCore(failure.reason);
        lines << path + QStringLiteral(": ") + reason;
    }
    return lines.join(QLatin1Char('\n'));
}

QString AlreadyPresentText(std::uint64_t messages)
{
    if (messages == 1)
        return QStringLiteral("1 message was already in its mailbox and was left out.");
    return QStringLiteral("%1 messages were already in their mailboxes and were left out.").arg(messages);
}

QString ReadBackText(const VerificationReport &report)
{
    return FromCore(ReadBackSummary(report)) + QLatin1Char('.');
}

QString MismatchText()
{
    return QStringLiteral("Some messages are not in their mailboxes as they were written.");
}

QString MismatchDetailsText(const std::vector<VerificationMismatch> &mismatches)
{
    QStringList lines;
    for (const VerificationMismatch &mismatch : mismatches)
        lines << FromCore(mismatch.mailboxPath) + QStringLiteral(": ") + FromCore(mismatch.problem);
    return lines.join(QLatin1Char('\n'));
}

QString WarningText(const std::vector<std::string> &warnings)
{
    QStringList lines;
    lines << QStringLiteral("Please note:");
    const std::size_t named = std::min(warnings.size(), kReportedWarnings);
    for (std::size_t i = 0; i < named; ++i)
        lines << FromCore(warnings[i]);
    if (warnings.size() > named)
        lines << QStringLiteral("and %1 more.").arg(warnings.size() - named);
    return lines.join(kLineBreak);
}

int ProgressPercent(std::uint64_t read, std::uint64_t total)
{
    if (total == 0)
        return 0;
    const double value = static_cast<double>(read) / static_cast<double>(total) * 100.0;
    if (!(value < 100.0))
        return 100;
    int percent = static_cast<int>(value); // value >= 0: truncation is floor
    const double fraction = value - percent;
    if (fraction > 0.5 || (fraction == 0.5 && percent % 2 != 0))
        ++percent;
    return percent;
}

int OverallPercent(std::size_t index, std::size_t total)
{
    if (total == 0)
        return 0;
    const auto value = static_cast<float>(static_cast<double>(index + 1) / static_cast<double>(total) * 100.0);
    return std::clamp(static_cast<int>(std::lround(value)), 0, 100);
}

QString MessageCounterText(std::size_t index, std::size_t total)
{
    return QStringLiteral("Message %1 (of %2)").arg(index + 1).arg(total);
}

QString ByteCounterText(std::uint64_t read, std::uint64_t total)
{
    return QStringLiteral("%1 Bytes out of %2 Total Bytes.").arg(std::min(read, total)).arg(total);
}

ConversionRun::ConversionRun(ConversionRunContext context) : m_context(std::move(context)) {}

void ConversionRun::Run()
{
    if (m_active)
        return;
    m_active = true;
    // However the run ends, the flag comes back.
    struct Restore {
        bool &active;
        ~Restore() { active = false; }
    } restore{m_active};
    const ConversionControls &c = m_context.controls;

    try {
        ListCopy copy = CopyList(*m_context.list);
        if (copy.request.sources.empty()) {
            m_context.interaction->Inform(m_context.owner, ApplicationTitle(), NothingToConvertText());
            return;
        }

        QString root =
            m_context.interaction->BrowseForFolder(m_context.owner, QStringLiteral("Choose Folder to Save..."));
        if (root.isEmpty())
            return;
        if (!root.endsWith(QDir::separator()))
            root += QDir::separator();
        copy.request.outputRoot = ToCore(root);

        StatusBlock status(m_context, copy);
        m_context.pump->Serve();
        const BusyScope busy(m_context.hooks);
        c.ProgressBar1->setRange(0, 100);
        c.EmlProgress->setRange(0, 100);

        const BatchSummary summary = ConvertBatch(copy.request, status);
        status.Show();

        QStringList notes;
        if (summary.alreadyPresent > 0)
            notes << AlreadyPresentText(summary.alreadyPresent);
        const bool mismatched = summary.verification && !summary.verification->Matched();
        if (summary.verification && (summary.verification->mailboxes > 0 || mismatched))
            notes << ReadBackText(*summary.verification);
        if (!summary.warnings.empty())
            notes << WarningText(summary.warnings);
        if (summary.failures.empty() && !mismatched) {
            m_context.interaction->Inform(m_context.owner, CompletionTitle(),
                                          (QStringList{CompletionText()} + notes).join(kLineBreak));
        } else {
            QStringList details;
            if (!summary.failures.empty())
                details << FailureDetailsText(summary.failures);
            if (mismatched)
                details << MismatchDetailsText(summary.verification->mismatches);
            m_context.interaction->WarnWithDetails(
                m_context.owner, ApplicationTitle(),
                (QStringList{summary.failures.empty()
                                 ? MismatchText()
                                 : FailureSummaryText(summary.failures.size(), copy.request.sources.size())} +
                 notes)
                    .join(kLineBreak),
                details.join(QLatin1Char('\n')));
        }
    } catch (const std::exception &failure) {
        m_context.interaction->Warn(m_context.owner, ApplicationTitle(),
                                    QStringLiteral("The conversion stopped: ") +
                                        QString::fromLocal8Bit(failure.what()));
    }
}

} // namespace tovaly
