#include "conversion_run.h"

#include "application_title.h"
#include "batch_conversion.h"
#include "user_interaction.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <utility>

namespace tovaly {

namespace {

const QString kLineBreak = QStringLiteral("\r\n");

std::string ToCore(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

QString FromCore(const std::string &text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

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
        const QString path = list.PathAt(row);
        if (path.isEmpty())
            continue;
        copy.request.sources.push_back(ToCore(path));
        copy.rows.push_back(row);
    }
    return copy;
}

// The window's side of a batch: selects the row being converted and keeps
// the status block up to date. Lines come far faster than a screen can show
// them, so the latest numbers are kept and put on the controls, together
// with one pass of the event pump, at most once per kDisplayIntervalMs, and
// always at the start of a file and after its mirror folder is made.
class StatusBlock final : public BatchObserver {
public:
    StatusBlock(const ConversionRunContext &context, const ListCopy &copy)
        : m_context(context), m_copy(copy)
    {
    }

    void FileStarted(std::size_t index, std::size_t total, const std::string &path) override
    {
        (void)total;
        const int row = m_copy.rows[index];
        // Rows may have changed in a yield; select only one that still
        // shows this file.
        if (row < m_context.list->RowCount() && ToCore(m_context.list->PathAt(row)) == path)
            m_context.list->MakeCurrent(row);
        Refresh();
        m_folderYieldDue = true;
    }

    void Yield() override
    {
        if (m_folderYieldDue || Now() - m_lastRefresh >= kDisplayIntervalMs) {
            m_folderYieldDue = false;
            Refresh();
        }
    }

    // The window follows every file line by line, and other commands can run
    // at its yields: the batch then converts one file at a time and keeps no
    // mailbox open across a yield.
    bool FollowsLines() const override { return true; }

    void LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes, int percent) override
    {
        m_bytes = bytesSoFar;
        m_totalBytes = totalBytes;
        m_percent = percent;
        m_linePending = true;
    }

    void FileDone(std::size_t index, std::size_t total, const std::string &path,
                  const RecordResult &result) override
    {
        (void)path;
        (void)result;
        m_folderYieldDue = false;
        ShowLine();
        m_context.controls.ProgressBar1->setValue(OverallPercent(index, total));
        m_context.controls.LblProgessCurrent->setText(MessageCounterText(index, total));
    }

    // Puts the latest numbers on the controls and lets the window handle its
    // events.
    void Refresh()
    {
        ShowLine();
        if (m_context.yield)
            m_context.yield();
        m_lastRefresh = Now();
    }

private:
    std::int64_t Now() const { return m_context.clock(); }

    void ShowLine()
    {
        if (!m_linePending)
            return;
        m_linePending = false;
        m_context.controls.LblByteRead->setText(ByteCounterText(m_bytes, m_totalBytes));
        m_context.controls.EmlProgress->setValue(m_percent);
    }

    const ConversionRunContext &m_context;
    const ListCopy &m_copy;
    std::int64_t m_lastRefresh = 0;
    bool m_folderYieldDue = false;
    bool m_linePending = false;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_totalBytes = 0;
    int m_percent = 0;
};

} // namespace

QString CompletionTitle()
{
    return QStringLiteral("Opera to MBOX Converter");
}

QString CompletionText()
{
    return QStringLiteral("Export Completed Successfully !") + kLineBreak
           + QStringLiteral("Your data has been successfully exported to .mbox format (Compatible for Mac Mail).")
           + kLineBreak
           + QStringLiteral("Move converted folders to Mac and import it into Apple Mac Mail by using the import "
                            "option from File Menu.");
}

QString NothingToConvertText()
{
    return QStringLiteral("There are no files in the list to convert.");
}

QString FailureReportText(const std::vector<FileFailure> &failures, std::size_t total)
{
    QStringList lines;
    lines << QStringLiteral("%1 of %2 files could not be converted:").arg(failures.size()).arg(total);
    const std::size_t named = std::min(failures.size(), kReportedFailures);
    for (std::size_t i = 0; i < named; ++i) {
        const QString path = FromCore(failures[i].path);
        const QString reason = FromCore(failures[i].reason);
        lines << (reason.contains(path) ? reason : path + QStringLiteral(": ") + reason);
    }
    if (failures.size() > named)
        lines << QStringLiteral("and %1 more.").arg(failures.size() - named);
    if (failures.size() < total)
        lines << QStringLiteral("The other files have been exported to .mbox format.");
    return lines.join(kLineBreak);
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
    return QStringLiteral("%1 Bytes out of %2 Total Bytes.").arg(read).arg(total);
}

ConversionRun::ConversionRun(ConversionRunContext context) : m_context(std::move(context))
{
    if (!m_context.clock)
        m_context.clock = SteadyMilliseconds;
}

void ConversionRun::Run()
{
    if (m_active)
        return;
    m_active = true;
    const ConversionControls &c = m_context.controls;
    bool buttonTaken = false;
    // However the run ends, the button and the flag come back.
    struct Restore {
        ConversionRun *run;
        const bool &buttonTaken;
        ~Restore()
        {
            if (buttonTaken)
                run->m_context.controls.CmdConvert2MBOX->setEnabled(true);
            run->m_active = false;
        }
    } restore{this, buttonTaken};

    try {
        ListCopy copy = CopyList(*m_context.list);
        if (copy.request.sources.empty()) {
            m_context.interaction->Inform(m_context.owner, ApplicationTitle(), NothingToConvertText());
            return;
        }

        const QString root = m_context.interaction->BrowseForFolder(m_context.owner,
                                                              QStringLiteral("Choose Folder to Save..."));
        if (root.isEmpty())
            return;
        copy.request.outputRoot = ToCore(root);

        StatusBlock status(m_context, copy);
        status.Refresh();
        c.ProgressBar1->setRange(0, 100);
        c.CmdConvert2MBOX->setEnabled(false);
        buttonTaken = true;
        c.EmlProgress->setRange(0, 100);

        const BatchSummary summary = ConvertBatch(copy.request, status);

        if (summary.failures.empty())
            m_context.interaction->Inform(m_context.owner, CompletionTitle(), CompletionText());
        else
            m_context.interaction->Warn(m_context.owner, ApplicationTitle(),
                                        FailureReportText(summary.failures, copy.request.sources.size()));
    } catch (const std::exception &failure) {
        m_context.interaction->Warn(m_context.owner, ApplicationTitle(),
                                    QStringLiteral("The conversion stopped: ")
                                        + QString::fromLocal8Bit(failure.what()));
    }
}

} // namespace tovaly
