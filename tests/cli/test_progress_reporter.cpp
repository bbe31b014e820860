#include "progress_reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace tovaly;

namespace {

constexpr std::uint64_t kMB = 1024 * 1024;

RecordResult Ok()
{
    RecordResult result;
    result.ok = true;
    result.messages = 1;
    return result;
}

} // namespace

TEST(FormatProgressLine, ShowsFilesBytesRateAndTimeLeft)
{
    ProgressSnapshot s;
    s.filesDone = 740;
    s.filesTotal = 2000;
    s.bytesDone = 10 * kMB;
    s.bytesTotal = 40 * kMB;
    s.elapsedSeconds = 2.0;
    EXPECT_EQ(FormatProgressLine(s),
              " 25% [#####               ] 740/2000 files  10.0/40.0 MB  5.0 MB/s  0:06 left");

    s.bytesDone = 40 * kMB;
    s.filesDone = 2000;
    s.elapsedSeconds = 4000;
    EXPECT_EQ(FormatProgressLine(s),
              "100% [####################] 2000/2000 files  40.0/40.0 MB  0.0 MB/s  0:00 left");

    s.bytesDone = 1 * kMB;
    s.elapsedSeconds = 1.0;
    s.bytesTotal = 3601 * kMB;
    EXPECT_NE(FormatProgressLine(s).find("1:00:00 left"), std::string::npos);
}

TEST(FormatProgressLine, NoRateBeforeItCanBeTold)
{
    ProgressSnapshot s;
    s.filesTotal = 4;
    s.filesDone = 1;
    s.elapsedSeconds = 0.1;
    // No byte total: the files tell how far it is.
    EXPECT_EQ(FormatProgressLine(s), " 25% [#####               ] 1/4 files  0.0/0.0 MB");
}

TEST(ProgressReporter, RedrawsAtMostTenTimesASecond)
{
    std::ostringstream err;
    double now = 100.0;
    ProgressReporter reporter(err, true, {kMB, kMB}, [&] { return now; });
    reporter.FileStarted(0, 2, "/a.mbs");
    const int first = reporter.Redraws();
    EXPECT_EQ(first, 1);
    for (int i = 0; i < 100000; ++i)
        reporter.LineRead(static_cast<std::uint64_t>(i), kMB, 0);
    EXPECT_EQ(reporter.Redraws(), first); // no time has passed

    now += 0.05;
    for (int i = 0; i < 1000; ++i)
        reporter.LineRead(10, kMB, 0);
    EXPECT_EQ(reporter.Redraws(), first);
    now += 0.06;
    for (int i = 0; i < 1000; ++i)
        reporter.LineRead(kMB / 2, kMB, 0);
    EXPECT_EQ(reporter.Redraws(), first + 1);
    EXPECT_NE(err.str().find("0/2 files  0.5/2.0 MB"), std::string::npos) << err.str();

    now += 1.0;
    reporter.FileDone(0, 2, "/a.mbs", Ok());
    reporter.FileStarted(1, 2, "/b.mbs");
    reporter.FileDone(1, 2, "/b.mbs", Ok()); // the last file is always drawn
    EXPECT_NE(err.str().find("2/2 files  2.0/2.0 MB"), std::string::npos) << err.str();
    reporter.Finish();
    const std::string text = err.str();
    EXPECT_EQ(text.back(), '\r');
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(ProgressReporter, FailuresGetTheirOwnLine)
{
    std::ostringstream err;
    double now = 0;
    ProgressReporter reporter(err, true, {100, 100}, [&] { return now; });
    reporter.FileStarted(0, 2, "/a.mbs");
    RecordResult failed;
    failed.error = "cannot open file: No such file or directory";
    reporter.FileDone(0, 2, "/a.mbs", failed);
    reporter.ReportFailure("/m/x/", "cannot list folder: Permission denied");
    reporter.Finish();

    const std::string text = err.str();
    // Each failure starts on a wiped line and ends with a newline.
    EXPECT_NE(text.find("\ropera2mbox: /a.mbs: cannot open file: No such file or directory\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\ropera2mbox: /m/x/: cannot list folder: Permission denied\n"),
              std::string::npos);
}

TEST(ProgressReporter, WithoutABarOnlyFailuresAreWritten)
{
    std::ostringstream err;
    ProgressReporter reporter(err, false, {});
    reporter.FileStarted(0, 2, "/a.mbs");
    reporter.LineRead(5, 10, 50);
    reporter.FileDone(0, 2, "/a.mbs", Ok());
    RecordResult failed;
    failed.error = "cannot read file";
    reporter.FileDone(1, 2, "/b.mbs", failed);
    reporter.Finish();
    EXPECT_EQ(err.str(), "opera2mbox: /b.mbs: cannot read file\n");
    EXPECT_EQ(reporter.Redraws(), 0);
}
