#include "progress_reporter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace tovaly {

namespace {

constexpr int kBarWidth = 20;
constexpr double kMegabyte = 1024.0 * 1024.0;

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

double SteadySeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

std::string FormatProgressLine(const ProgressSnapshot &s)
{
    // Bytes measure the work better than files; with no byte total, use files.
    double fraction = 0;
    if (s.bytesTotal > 0)
        fraction = static_cast<double>(s.bytesDone) / static_cast<double>(s.bytesTotal);
    else if (s.filesTotal > 0)
        fraction = static_cast<double>(s.filesDone) / static_cast<double>(s.filesTotal);
    fraction = std::clamp(fraction, 0.0, 1.0);

    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string line = Format("%3.0f%% [", std::floor(fraction * 100.0));
    line += std::string(static_cast<std::size_t>(filled), '#');
    line += std::string(static_cast<std::size_t>(kBarWidth - filled), ' ');
    line += "] " + std::to_string(s.filesDone) + "/" + std::to_string(s.filesTotal) + " files  ";
    line += Format("%.1f/%.1f MB", static_cast<double>(s.bytesDone) / kMegabyte,
                   static_cast<double>(s.bytesTotal) / kMegabyte);

    if (s.elapsedSeconds >= 0.5 && s.bytesDone > 0) {
        const double rate = static_cast<double>(s.bytesDone) / s.elapsedSeconds;
        line += Format("  %.1f MB/s", rate / kMegabyte);
        const double left =
            static_cast<double>(s.bytesTotal > s.bytesDone ? s.bytesTotal - s.bytesDone : 0) / rate;
        line += "  " + Duration(left) + " left";
    }
    return line;
}

ProgressReporter::ProgressReporter(std::ostream &err, bool showBar,
                                   std::vector<std::uint64_t> fileSizes, Clock clock,
                                   double maxRedrawsPerSecond)
    : m_err(err), m_showBar(showBar), m_sizes(std::move(fileSizes)),
      m_clock(clock ? std::move(clock) : Clock(SteadySeconds)),
      m_interval(maxRedrawsPerSecond > 0 ? 1.0 / maxRedrawsPerSecond : 0.0)
{
    for (const std::uint64_t size : m_sizes)
        m_bytesTotal += size;
    m_start = m_clock();
}

void ProgressReporter::FileStarted(std::size_t index, std::size_t total, const std::string &)
{
    m_filesTotal = total;
    m_bytesCurrent = 0;
    MaybeDraw(index == 0);
}

void ProgressReporter::FileDone(std::size_t index, std::size_t total, const std::string &path,
                                const RecordResult &result)
{
    m_filesTotal = total;
    m_filesDone = index + 1;
    m_bytesDone += index < m_sizes.size() ? m_sizes[index] : result.bytesRead;
    m_bytesCurrent = 0;
    if (!result.ok)
        ReportFailure(path, result.error.empty() ? std::string("not converted") : result.error);
    MaybeDraw(m_filesDone == total);
}

void ProgressReporter::LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes, int)
{
    if (!m_showBar)
        return;
    // Written bytes can outgrow the file (lone CR or LF ends become CR LF).
    m_bytesCurrent = std::min(bytesSoFar, totalBytes);
    // Asking the clock for every line would cost more than the line itself.
    if (++m_linesSinceCheck >= 256) {
        m_linesSinceCheck = 0;
        MaybeDraw(false);
    }
}

void ProgressReporter::ReportFailure(const std::string &path, const std::string &reason)
{
    Clear();
    m_err << "opera2mbox: " << path << ": " << reason << '\n';
    m_err.flush();
    MaybeDraw(true);
}

void ProgressReporter::MaybeDraw(bool force)
{
    if (!m_showBar)
        return;
    const double now = m_clock();
    if (!force && now - m_lastDraw < m_interval)
        return;
    m_lastDraw = now;

    ProgressSnapshot snapshot;
    snapshot.filesDone = m_filesDone;
    snapshot.filesTotal = m_filesTotal;
    snapshot.bytesDone = m_bytesDone + m_bytesCurrent;
    snapshot.bytesTotal = m_bytesTotal;
    snapshot.elapsedSeconds = now - m_start;
    const std::string line = FormatProgressLine(snapshot);
    m_err << '\r' << line;
    if (line.size() < m_drawnWidth)
        m_err << std::string(m_drawnWidth - line.size(), ' ');
    m_err.flush();
    m_drawnWidth = std::max(m_drawnWidth, line.size());
    ++m_redraws;
}

void ProgressReporter::Clear()
{
    if (!m_showBar || m_drawnWidth == 0)
        return;
    m_err << '\r' << std::string(m_drawnWidth, ' ') << '\r';
    m_drawnWidth = 0;
}

void ProgressReporter::Finish()
{
    Clear();
    m_err.flush();
}

} // namespace tovaly
