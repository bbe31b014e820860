#include "progress_reporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>

using namespace tovaly;

using ::testing::HasSubstr;

namespace {

constexpr std::uint64_t kMB = 1024 * 1024;
constexpr std::size_t kWide = 200; // a terminal that fits every line

// A clock that reads `seconds` when asked.
ProgressClock Milliseconds(const double &seconds)
{
    return [&seconds] { return static_cast<std::int64_t>(std::llround(seconds * 1000.0)); };
}

RecordResult Ok(int messages = 1)
{
    RecordResult result;
    result.ok = true;
    result.messages = messages;
    return result;
}

// A terminal of a fixed width that shows what a stream of text and "\r"
// leaves on the screen, and tells when a line wrapped.
class FakeTerminal {
public:
    explicit FakeTerminal(std::size_t columns) : m_columns(columns), m_rows(1) {}

    // Takes what was written to `stream` since the last call.
    void Take(const std::ostringstream &stream)
    {
        const std::string text = stream.str();
        for (std::size_t i = m_read; i < text.size(); ++i)
            Put(text[i]);
        m_read = text.size();
    }
    // The row the cursor is on, without trailing blanks.
    std::string Current() const { return Trimmed(m_rows.back()); }
    // Every finished row.
    std::vector<std::string> Finished() const
    {
        std::vector<std::string> rows;
        for (std::size_t i = 0; i + 1 < m_rows.size(); ++i)
            rows.push_back(Trimmed(m_rows[i]));
        return rows;
    }
    bool Wrapped() const { return m_wrapped; }

private:
    static std::string Trimmed(std::string row)
    {
        row.erase(row.find_last_not_of(' ') + 1);
        return row;
    }
    void Put(char c)
    {
        if (c == '\r') {
            m_column = 0;
            return;
        }
        if (c == '\n') {
            m_rows.emplace_back();
            m_column = 0;
            return;
        }
        if (m_column == m_columns) { // the terminal wraps
            m_wrapped = true;
            m_rows.emplace_back();
            m_column = 0;
        }
        std::string &row = m_rows.back();
        if (row.size() <= m_column)
            row.resize(m_column + 1, ' ');
        row[m_column++] = c;
    }

    std::size_t m_columns;
    std::vector<std::string> m_rows;
    std::size_t m_column = 0;
    std::size_t m_read = 0;
    bool m_wrapped = false;
};

ProgressSnapshot Snapshot(std::uint64_t done, std::uint64_t total, std::uint64_t bytesDone, std::uint64_t bytesTotal,
                          double elapsed)
{
    ProgressSnapshot s;
    s.messagesDone = done;
    s.messagesTotal = total;
    s.bytesDone = bytesDone;
    s.bytesTotal = bytesTotal;
    s.elapsedSeconds = elapsed;
    return s;
}

} // namespace

TEST(FormatProgressLine, ShowsFilesBytesRateAndTimeLeft)
{
    ProgressSnapshot s = Snapshot(740, 2000, 10 * kMB, 40 * kMB, 2.0);
    EXPECT_EQ(FormatProgressLine(s, kWide),
              " 25% [#####               ] 740/2000 messages  10.0/40.0 MB  5.0 MB/s  0:06 left");

    s.bytesDone = 40 * kMB;
    s.messagesDone = 2000;
    s.elapsedSeconds = 4000;
    EXPECT_EQ(FormatProgressLine(s, kWide),
              "100% [####################] 2000/2000 messages  40.0/40.0 MB  0.0 MB/s  0:00 left");

    s.bytesDone = 1 * kMB;
    s.elapsedSeconds = 1.0;
    s.bytesTotal = 3601 * kMB;
    EXPECT_THAT(FormatProgressLine(s, kWide), HasSubstr("1:00:00 left"));

    // From a GiB on, bytes count in GB; the rate stays in MB/s.
    s = Snapshot(5, 20, 1280 * kMB, 5120 * kMB, 10.0);
    EXPECT_EQ(FormatProgressLine(s, kWide),
              " 25% [#####               ] 5/20 messages  1.25/5.00 GB  128.0 MB/s  0:30 left");
}

TEST(FormatProgressLine, NoRateBeforeItCanBeTold)
{
    // No byte total: the messages tell how far it is.
    EXPECT_EQ(FormatProgressLine(Snapshot(1, 4, 0, 0, 0.1), kWide),
              " 25% [#####               ] 1/4 messages  0.0/0.0 MB");
    EXPECT_EQ(FormatProgressLine(Snapshot(1, 4, 0, 10, 3.0), kWide),
              "  0% [                    ] 1/4 messages  0.0/0.0 MB");
}

TEST(FormatProgressLine, FitsTheTerminal)
{
    const ProgressSnapshot s = Snapshot(740, 2000, 10 * kMB, 40 * kMB, 2.0);
    // 80 columns: the bar gives up a column.
    EXPECT_EQ(FormatProgressLine(s, 80),
              " 25% [####               ] 740/2000 messages  10.0/40.0 MB  5.0 MB/s  0:06 left");
    EXPECT_EQ(FormatProgressLine(s), FormatProgressLine(s, 80));
    EXPECT_EQ(FormatProgressLine(s, 0), FormatProgressLine(s, 80));
    // Narrower: the bar goes, then the least needed fields.
    EXPECT_EQ(FormatProgressLine(s, 60), " 25% 740/2000 messages  10.0/40.0 MB  5.0 MB/s  0:06 left");
    EXPECT_EQ(FormatProgressLine(s, 50), " 25% 740/2000 messages  10.0/40.0 MB  5.0 MB/s");
    EXPECT_EQ(FormatProgressLine(s, 30), " 25% 740/2000 messages");
    EXPECT_EQ(FormatProgressLine(s, 10), " 25% 740/");
    for (std::size_t columns = 1; columns <= 120; ++columns)
        EXPECT_LT(FormatProgressLine(s, columns).size(), columns) << columns;
}

TEST(ProgressReporter, RedrawsAtMostTenTimesASecond)
{
    std::ostringstream err;
    double now = 100.0;
    ProgressReporter reporter(err, true, {kMB, kMB}, Milliseconds(now), 10.0, [] { return kWide; });
    reporter.FileStarted(0, 2, "/a.mbs");
    const int first = reporter.Redraws();
    EXPECT_EQ(first, 1);
    for (int i = 0; i < 100000; ++i)
        reporter.LineRead(static_cast<std::uint64_t>(i), kMB);
    EXPECT_EQ(reporter.Redraws(), first); // no time has passed

    now += 0.05;
    for (int i = 0; i < 1000; ++i)
        reporter.LineRead(10, kMB);
    EXPECT_EQ(reporter.Redraws(), first);
    now += 0.06;
    for (int i = 0; i < 1000; ++i)
        reporter.LineRead(kMB / 2, kMB);
    EXPECT_EQ(reporter.Redraws(), first + 1);
    EXPECT_THAT(err.str(), HasSubstr("0/2 messages  0.5/2.0 MB")) << err.str();

    now += 1.0;
    reporter.FileDone(0, 2, "/a.mbs", Ok());
    EXPECT_THAT(err.str(), HasSubstr("1/2 messages  1.0/2.0 MB")) << err.str();
    // The same instant: nothing more is drawn, the last file included.
    reporter.FileStarted(1, 2, "/b.mbs");
    reporter.FileDone(1, 2, "/b.mbs", Ok());
    EXPECT_EQ(reporter.Redraws(), first + 2);
    reporter.Finish();
    const std::string text = err.str();
    EXPECT_EQ(text.back(), '\r');
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(ProgressReporter, NoBurstOfEventsDrawsMoreOften)
{
    // Five seconds of small files, lines and failures, a millisecond apart.
    std::ostringstream err;
    double now = 0;
    std::vector<double> draws;
    constexpr std::size_t kFiles = 5000;
    ProgressReporter reporter(err, true, std::vector<std::uint64_t>(kFiles, 1000), Milliseconds(now), 10.0,
                              [] { return kWide; });
    int failures = 0;
    for (std::size_t i = 0; i < kFiles; ++i) {
        now = static_cast<double>(i) / 1000.0;
        const int before = reporter.Redraws();
        reporter.FileStarted(i, kFiles, "/f.mbs");
        for (int line = 0; line < 300; ++line)
            reporter.LineRead(static_cast<std::uint64_t>(line), 1000);
        if (i % 7 == 0) {
            RecordResult failed;
            failed.error = "cannot read file";
            reporter.FileDone(i, kFiles, "/f.mbs", failed);
            ++failures;
        } else {
            reporter.FileDone(i, kFiles, "/f.mbs", Ok());
        }
        if (i % 50 == 0) {
            reporter.ReportFailure("/folder/", "cannot list folder");
            ++failures;
        }
        for (int n = before; n < reporter.Redraws(); ++n)
            draws.push_back(now);
    }
    reporter.Finish();
    ASSERT_GE(draws.size(), 2u);
    for (std::size_t i = 1; i < draws.size(); ++i)
        ASSERT_GE(draws[i] - draws[i - 1], 0.1 - 1e-9) << "draws at " << draws[i - 1] << " and " << draws[i];
    // It keeps drawing as time passes: every tenth of a second.
    EXPECT_GE(draws.size(), 49u);
    // Every failure has its own line, and the bar is never left among them.
    FakeTerminal terminal(kWide);
    terminal.Take(err);
    const std::vector<std::string> rows = terminal.Finished();
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(failures));
    for (const std::string &row : rows)
        EXPECT_EQ(row.rfind("opera2mbox: /f", 0), 0u) << row;
    EXPECT_EQ(terminal.Current(), "");
}

TEST(ProgressReporter, TheWholeRunMessagesBytesRateAndTimeLeft)
{
    std::ostringstream err;
    double now = 0;
    FakeTerminal terminal(kWide);
    ProgressReporter reporter(err, true, {kMB, 2 * kMB, kMB}, Milliseconds(now), 10.0, [] { return kWide; });
    reporter.FileStarted(0, 3, "/a.mbs");
    terminal.Take(err);
    EXPECT_EQ(terminal.Current(), "  0% [                    ] 0/3 messages  0.0/4.0 MB");

    // The first source holds two messages: the total grows.
    now = 1.0;
    reporter.FileDone(0, 3, "/a.mbs", Ok(2));
    terminal.Take(err);
    EXPECT_EQ(terminal.Current(), " 25% [#####               ] 2/4 messages  1.0/4.0 MB  1.0 MB/s  0:03 left");

    // Halfway through the second: bytes count as they are read.
    now = 1.5;
    reporter.FileStarted(1, 3, "/b.mbs");
    now = 2.0;
    for (int i = 0; i < 256; ++i)
        reporter.LineRead(kMB, 2 * kMB);
    terminal.Take(err);
    EXPECT_EQ(terminal.Current(), " 50% [##########          ] 2/4 messages  2.0/4.0 MB  1.0 MB/s  0:02 left");

    // It fails: its message will not be written.
    now = 2.5;
    RecordResult failed;
    failed.error = "cannot read file";
    reporter.FileDone(1, 3, "/b.mbs", failed);
    terminal.Take(err);
    EXPECT_EQ(terminal.Finished(), std::vector<std::string>{"opera2mbox: /b.mbs: cannot read file"});
    EXPECT_EQ(terminal.Current(), " 75% [###############     ] 2/3 messages  3.0/4.0 MB  1.2 MB/s  0:01 left");

    reporter.Finish();
    terminal.Take(err);
    EXPECT_EQ(terminal.Current(), "");
    EXPECT_FALSE(terminal.Wrapped());
}

TEST(ProgressReporter, NeverWrapsAndLeavesNothingOfALongerLine)
{
    // The terminal narrows and widens while the run goes on.
    std::ostringstream err;
    double now = 0;
    std::size_t columns = 100;
    FakeTerminal wide(100);
    ProgressReporter reporter(err, true, std::vector<std::uint64_t>(1000, 5 * kMB), Milliseconds(now), 10.0,
                              [&] { return columns; });
    for (std::size_t i = 0; i < 1000; ++i) {
        now += 0.2;
        reporter.FileStarted(i, 1000, "/f.mbs");
        reporter.FileDone(i, 1000, "/f.mbs", Ok());
    }
    wide.Take(err);
    EXPECT_FALSE(wide.Wrapped());
    EXPECT_EQ(wide.Current(), " 99% [################### ] 999/1000 messages  4.88/4.88 GB  25.0 MB/s  0:00 left");

    std::ostringstream narrowErr;
    columns = 40;
    FakeTerminal narrow(40);
    ProgressReporter narrower(narrowErr, true, {kMB, kMB}, Milliseconds(now), 10.0, [&] { return columns; });
    narrower.FileStarted(0, 2, "/a.mbs");
    narrow.Take(narrowErr);
    EXPECT_EQ(narrow.Current(), "  0% 0/2 messages  0.0/2.0 MB");
    now += 1.0;
    narrower.FileDone(0, 2, "/a.mbs", Ok(12345));
    narrow.Take(narrowErr);
    EXPECT_EQ(narrow.Current(), " 50% 12345/12346 messages  1.0/2.0 MB");
    EXPECT_FALSE(narrow.Wrapped());

    // A line shorter than the one before leaves nothing of it behind.
    std::ostringstream slowerErr;
    now = 0;
    columns = 100;
    FakeTerminal screen(100);
    ProgressReporter slower(slowerErr, true, {1000 * kMB, kMB, kMB}, Milliseconds(now), 10.0, [&] { return columns; });
    slower.FileStarted(0, 3, "/a.mbs");
    now = 10.0;
    slower.FileDone(0, 3, "/a.mbs", Ok());
    screen.Take(slowerErr);
    EXPECT_EQ(screen.Current(), " 99% [################### ] 1/3 messages  1000.0/1002.0 MB  100.0 MB/s  0:00 left");
    now = 200.0;
    slower.FileDone(1, 3, "/b.mbs", Ok());
    screen.Take(slowerErr);
    EXPECT_EQ(screen.Current(), " 99% [################### ] 2/3 messages  1001.0/1002.0 MB  5.0 MB/s  0:00 left");
}

TEST(ProgressReporter, FailuresGetTheirOwnLine)
{
    std::ostringstream err;
    double now = 0;
    ProgressReporter reporter(err, true, {100, 100}, Milliseconds(now));
    reporter.FileStarted(0, 2, "/a.mbs");
    RecordResult failed;
    failed.error = "cannot open file: No such file or directory";
    reporter.FileDone(0, 2, "/a.mbs", failed);
    reporter.ReportFailure("/m/x/", "cannot list folder: Permission denied");
    reporter.Finish();

    const std::string text = err.str();
    // Each failure starts on a wiped line and ends with a newline.
    EXPECT_THAT(text, HasSubstr("\ropera2mbox: /a.mbs: cannot open file: No such file or directory\n")) << text;
    EXPECT_THAT(text, HasSubstr("\ropera2mbox: /m/x/: cannot list folder: Permission denied\n"));
}

TEST(ProgressReporter, WithoutABarOnlyFailuresAreWritten)
{
    std::ostringstream err;
    ProgressReporter reporter(err, false, {});
    reporter.FileStarted(0, 2, "/a.mbs");
    reporter.LineRead(5, 10);
    reporter.FileDone(0, 2, "/a.mbs", Ok());
    RecordResult failed;
    failed.error = "cannot read file";
    reporter.FileDone(1, 2, "/b.mbs", failed);
    reporter.Finish();
    EXPECT_EQ(err.str(), "opera2mbox: /b.mbs: cannot read file\n");
    EXPECT_EQ(reporter.Redraws(), 0);
}
