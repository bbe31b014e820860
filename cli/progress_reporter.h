#pragma once
// Progress of a command-line conversion on stderr: a one-line bar redrawn in
// place (only on a terminal), and one line per failed source.

#include "batch_conversion.h"
#include "progress_clock.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace tovaly {

/// Where a conversion stands, for one redraw of the bar.
struct ProgressSnapshot {
    std::uint64_t messagesDone = 0;  ///< records written or found there already
    std::uint64_t messagesTotal = 0; ///< what the whole run will have written
    std::uint64_t bytesDone = 0;     ///< of the sources
    std::uint64_t bytesTotal = 0;
    double elapsedSeconds = 0;
};

/// The width a terminal is taken to have when it does not tell.
inline constexpr std::size_t kDefaultColumns = 80;

/// The bar's text for a terminal `columns` wide, e.g.
/// " 37% [#######             ] 740/2000 messages  12.3/33.1 MB  8.2 MB/s  0:02 left".
/// Bytes count in GB once the total reaches 1 GiB. Rate and time left, for
/// the whole run, are left out until enough time has passed to tell. The
/// line is kept shorter than `columns` (so it never wraps, which would
/// break redrawing it in place): the bar shrinks, then goes, then the end
/// of the line is cut off.
[[nodiscard]] std::string FormatProgressLine(const ProgressSnapshot &snapshot, std::size_t columns = kDefaultColumns);

/// Draws the bar (when `showBar`) at most `maxRedrawsPerSecond` times a
/// second, however the events come, and writes every failure as
/// "opera2mbox: <path>: <reason>" on a line of its own.
///
/// Messages done are the records written or left out as already there;
/// the total counts one message for
/// every source not yet done, so it is exact for Opera's one-message files
/// and grows when a source holds several (or shrinks when one fails).
class ProgressReporter final : public BatchObserver {
public:
    using Clock = ProgressClock;
    using Columns = std::function<std::size_t()>; ///< the terminal's width now; 0 when unknown

    /// `fileSizes` are the sizes of the sources in request order (for the
    /// byte totals; may be empty). `clock` defaults to SteadyMilliseconds,
    /// `columns` to kDefaultColumns.
    ProgressReporter(std::ostream &err, bool showBar, std::vector<std::uint64_t> fileSizes, Clock clock = {},
                     double maxRedrawsPerSecond = 10.0, Columns columns = {});

    void FileStarted(std::size_t index, std::size_t total, const std::string &path) override;
    void FileDone(std::size_t index, std::size_t total, const std::string &path, const RecordResult &result) override;
    /// Writes "opera2mbox: <mailbox>: torn last record cut off (N bytes)".
    void MailboxCutBack(const std::string &mailboxPath, std::uint64_t from, std::uint64_t to) override;
    void LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes) override;
    bool FollowsLines() const override { return m_showBar; }
    /// Writes it as ReportWarning does.
    void BatchWarning(const std::string &text) override { ReportWarning(text); }
    /// Nothing to serve between records: mailboxes stay open across them.
    bool Yields() const override { return false; }
    /// What `stopRequested` says (false when not given).
    bool StopRequested() const override { return m_stopRequested && m_stopRequested(); }
    void SetStopCheck(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }

    /// Writes a failure that did not come from the batch (e.g. a folder that
    /// could not be listed), keeping the bar intact.
    void ReportFailure(const std::string &path, const std::string &reason);
    /// Writes "opera2mbox: warning: <text>" on a line of its own.
    void ReportWarning(const std::string &text);

    /// Removes the bar from the screen; call once at the end.
    void Finish();

    /// Number of times the bar was drawn.
    [[nodiscard]] int Redraws() const { return m_redraws; }

private:
    void MaybeDraw();
    void Clear();
    double Seconds() const;
    std::size_t ColumnsNow() const;

    std::ostream &m_err;
    bool m_showBar;
    std::vector<std::uint64_t> m_sizes;
    Clock m_clock;
    double m_interval;
    Columns m_columns;
    std::function<bool()> m_stopRequested;
    double m_start = 0;
    double m_lastDraw = 0;
    bool m_drawnOnce = false;
    std::size_t m_filesDone = 0;
    std::size_t m_filesTotal = 0;
    std::uint64_t m_messagesDone = 0;
    std::uint64_t m_bytesTotal = 0;
    std::uint64_t m_bytesDone = 0;    // of the files finished
    std::uint64_t m_bytesCurrent = 0; // of the file being read
    std::size_t m_drawnWidth = 0;
    unsigned m_linesSinceCheck = 0;
    int m_redraws = 0;
};

} // namespace tovaly
