#include "progress_reporter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <vector>

namespace tovaly {

namespace {

constexpr std::size_t kBarWidth = 20;
constexpr int kMinBarWidth = 10;
constexpr double kMegabyte = 1024.0 * 1024.0;
constexpr std::uint64_t kGigabyte = std::uint64_t{1} << 30;

std::string Format(const char *pattern, double a, double b = 0)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, a, b);
    return buffer;
}

std::string Duration(double seconds)
{
    const auto total = static_cast<long long>(std::llround(seconds));
    const long long hours = total / 3600;
    const long long minutes = (total / 60) % 60;
    const long long secs = total % 60;
    char buffer[48];
    if (hours > 0)
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", hours, minutes, secs);
    else
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", minutes, secs);
    return buffer;
}

} // namespace

std::string FormatProgressLine(const ProgressSnapshot &s, std::size_t columns)
{
    // Bytes measure the work better than messages; with no byte total, use messages.
    double fraction = 0;
    if (s.bytesTotal > 0)
        fraction = static_cast<double>(s.bytesDone) / static_cast<double>(s.bytesTotal);
    else if (s.messagesTotal > 0)
        fraction = static_cast<double>(s.messagesDone) / static_cast<double>(s.messagesTotal);
    fraction = std::clamp(fraction, 0.0, 1.0);

    const std::string head = Format("%3.0f%% ", std::floor(fraction * 100.0));
    // The fields after the bar, the least needed last.
    std::vector<std::string> fields;
    fields.push_back(std::to_string(s.messagesDone) + "/" + std::to_string(s.messagesTotal) + " messages");
    if (s.bytesTotal >= kGigabyte)
        fields.push_back(Format("%.2f/%.2f GB", static_cast<double>(s.bytesDone) / kGigabyte,
                                static_cast<double>(s.bytesTotal) / kGigabyte));
    else
        fields.push_back(Format("%.1f/%.1f MB", static_cast<double>(s.bytesDone) / kMegabyte,
                                static_cast<double>(s.bytesTotal) / kMegabyte));
    if (s.elapsedSeconds >= 0.5 && s.bytesDone > 0) {
        const double rate = static_cast<double>(s.bytesDone) / s.elapsedSeconds;
        fields.push_back(Format("%.1f MB/s", rate / kMegabyte));
        const double left = static_cast<double>(s.bytesTotal > s.bytesDone ? s.bytesTotal - s.bytesDone : 0) / rate;
        fields.push_back(Duration(left) + " left");
    }

    // One column stays free: a line that fills the last one wraps on some
    // terminals. What does not fit goes: first width of the bar, then the
    // bar, then fields from the end, then whatever still sticks out.
    const std::size_t width = (columns == 0 ? kDefaultColumns : columns) - 1;
    std::string tail;
    for (const std::string &field : fields)
        tail += (tail.empty() ? " " : "  ") + field;
    const std::size_t room = width > head.size() + tail.size() + 2 ? width - head.size() - tail.size() - 2 : 0;
    const int barWidth = static_cast<int>(std::min<std::size_t>(room, kBarWidth));
    std::string line = head;
    if (barWidth >= kMinBarWidth) {
        const int filled = static_cast<int>(fraction * barWidth);
        line += "[";
        line += std::string(static_cast<std::size_t>(filled), '#');
        line += std::string(static_cast<std::size_t>(barWidth - filled), ' ');
        line += "]";
    } else {
        line.pop_back(); // no bar: the space before the counts is enough
        while (fields.size() > 1 && line.size() + tail.size() > width) {
            tail.resize(tail.size() - fields.back().size() - 2);
            fields.pop_back();
        }
    }
    line += tail;
    if (line.size() > width)
        line.resize(width);
    return line;
}

ProgressReporter::ProgressReporter(std::ostream &err, bool showBar, std::vector<std::uint64_t> fileSizes, Clock clock,
                                   double maxRedrawsPerSecond, Columns columns)
    : m_err(err), m_showBar(showBar), m_sizes(std::move(fileSizes)),
      m_clock(clock ? std::move(clock) : Clock(SteadyMilliseconds)),
      m_interval(maxRedrawsPerSecond > 0 ? 1.0 / maxRedrawsPerSecond : 0.0), m_columns(std::move(columns))
{
    for (const std::uint64_t size : m_sizes)
        m_bytesTotal += size;
    m_start = Seconds();
}

void ProgressReporter::FileStarted(std::size_t, std::size_t total, const std::string &)
{
    m_filesTotal = total;
    m_bytesCurrent = 0;
    MaybeDraw();
}

void ProgressReporter::FileDone(std::size_t index, std::size_t total, const std::string &path,
                                const RecordResult &result)
{
    m_filesTotal = total;
    m_filesDone = index + 1;
    m_messagesDone += static_cast<std::uint64_t>(std::max(result.messages, 0)) +
                      static_cast<std::uint64_t>(std::max(result.skipped, 0));
    m_bytesDone += index < m_sizes.size() ? m_sizes[index] : result.bytesRead;
    m_bytesCurrent = 0;
    if (!result.ok) {
        ReportFailure(path, result.error.empty() ? std::string("not converted") : result.error);
        return;
    }
    for (const std::string &warning : result.warnings)
        ReportWarning(warning);
    MaybeDraw();
}

void ProgressReporter::MailboxCutBack(const std::string &mailboxPath, std::uint64_t from, std::uint64_t to)
{
    Clear();
    m_err << "opera2mbox: " << mailboxPath << ": torn last record cut off (" << (from - std::min(from, to))
          << (from - std::min(from, to) == 1 ? " byte)" : " bytes)") << '\n';
    m_err.flush();
    MaybeDraw();
}

void ProgressReporter::LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes)
{
    if (!m_showBar)
        return;
    // Written bytes can outgrow the file (lone CR or LF ends become CR LF).
    m_bytesCurrent = std::min(bytesSoFar, totalBytes);
    // Asking the clock for every line would cost more than the line itself.
    if (++m_linesSinceCheck >= 256) {
        m_linesSinceCheck = 0;
        MaybeDraw();
    }
}

void ProgressReporter::ReportFailure(const std::string &path, const std::string &reason)
{
    Clear();
    m_err << "opera2mbox: " << path << ": " << reason << '\n';
    m_err.flush();
    MaybeDraw();
}

void ProgressReporter::ReportWarning(const std::string &text)
{
    Clear();
    m_err << "opera2mbox: warning: " << text << '\n';
    m_err.flush();
    MaybeDraw();
}

double ProgressReporter::Seconds() const
{
    return static_cast<double>(m_clock()) / 1000.0;
}

std::size_t ProgressReporter::ColumnsNow() const
{
    const std::size_t columns = m_columns ? m_columns() : 0;
    return columns > 0 ? columns : kDefaultColumns;
}

void ProgressReporter::MaybeDraw()
{
    if (!m_showBar)
        return;
    // However the events come (a burst of failures, many small files), the
    // bar is drawn at most once an interval; what is skipped shows in the
    // next drawing.
    const double now = Seconds();
    if (m_drawnOnce && now - m_lastDraw < m_interval)
        return;
    m_drawnOnce = true;
    m_lastDraw = now;

    ProgressSnapshot snapshot;
    snapshot.messagesDone = m_messagesDone;
    snapshot.messagesTotal = m_messagesDone + (m_filesTotal > m_filesDone ? m_filesTotal - m_filesDone : 0);
    snapshot.bytesDone = m_bytesDone + m_bytesCurrent;
    snapshot.bytesTotal = m_bytesTotal;
    snapshot.elapsedSeconds = now - m_start;
    const std::size_t columns = ColumnsNow();
    const std::string line = FormatProgressLine(snapshot, columns);
    m_err << '\r' << line;
    // Wipe what is left of a longer line drawn before, within the screen.
    const std::size_t wipe = std::min(m_drawnWidth, columns - 1);
    if (line.size() < wipe)
        m_err << std::string(wipe - line.size(), ' ');
    m_err.flush();
    m_drawnWidth = std::max(line.size(), wipe);
    ++m_redraws;
}

void ProgressReporter::Clear()
{
    if (!m_showBar)
        return;
    if (m_drawnWidth > 0)
        m_err << '\r' << std::string(std::min(m_drawnWidth, ColumnsNow() - 1), ' ');
    m_err << '\r';
    m_drawnWidth = 0;
}

void ProgressReporter::Finish()
{
    Clear();
    m_err.flush();
}

} // namespace tovaly
