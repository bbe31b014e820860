#include "shell_open.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>

#include <csignal>
#endif

namespace tovaly {
namespace {

TEST(ShellOpen, AnEmptyTargetMakesNoCall)
{
    int calls = 0;
    EXPECT_FALSE(ShellOpen(QString(), [&](const QUrl &) {
        ++calls;
        return true;
    }));
    EXPECT_EQ(calls, 0);
}

TEST(ShellOpen, HandsFilesAndAddressesOnAsUrlsAndSaysWhetherTheDesktopTookThem)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString manual = folder.filePath(QStringLiteral("manual.html"));
    QFile file(manual);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    std::vector<QUrl> opened;
    bool desktopTakesIt = true;
    const auto opener = [&](const QUrl &url) {
        opened.push_back(url);
        return desktopTakesIt;
    };
    EXPECT_TRUE(ShellOpen(manual, opener));
    EXPECT_TRUE(ShellOpen(QStringLiteral("https://example.org/help?topic=import"), opener));
    EXPECT_TRUE(ShellOpen(QUrl::fromLocalFile(manual).toString(), opener));
    desktopTakesIt = false;
    EXPECT_FALSE(ShellOpen(QStringLiteral("https://example.org/"), opener));

    ASSERT_EQ(opened.size(), 4U);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(manual));
    EXPECT_EQ(opened[1].scheme(), QStringLiteral("https"));
    EXPECT_EQ(opened[1].query(), QStringLiteral("topic=import"));
    EXPECT_TRUE(opened[2].isLocalFile());
    EXPECT_EQ(opened[2].toLocalFile(), manual);
}

TEST(ShellOpen, AMissingFileIsNotHandedOn)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    int calls = 0;
    const auto opener = [&](const QUrl &) {
        ++calls;
        return true;
    };
    const QString missing = folder.filePath(QStringLiteral("manual.html"));
    EXPECT_FALSE(ShellOpen(missing, opener));
    EXPECT_FALSE(ShellOpen(QUrl::fromLocalFile(missing).toString(), opener));
    EXPECT_EQ(calls, 0);
}

TEST(ShellOpen, TargetUrls)
{
    EXPECT_TRUE(ShellTargetUrl(QString()).isEmpty());
    // A drive-letter path is a file, not a URL with the scheme "c".
    const QUrl drive = ShellTargetUrl(QStringLiteral("C:\\Program Files\\Tovaly\\manual.html"));
    EXPECT_EQ(drive.scheme(), QStringLiteral("file"));
    EXPECT_TRUE(drive.path().endsWith(QStringLiteral("C:/Program Files/Tovaly/manual.html")));
    EXPECT_EQ(ShellTargetUrl(QStringLiteral("mailto:help@example.org")).scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(ShellTargetUrl(QStringLiteral("manual.html")),
              QUrl::fromLocalFile(QDir::current().absoluteFilePath(QStringLiteral("manual.html"))));
}

TEST(ShellOpen, AThrowingOpenerCountsAsAFailure)
{
    bool opened = true;
    EXPECT_NO_THROW(opened = ShellOpen(QStringLiteral("https://example.org"),
                                       [](const QUrl &) -> bool { throw std::runtime_error("no handler"); }));
    EXPECT_FALSE(opened);
}

#ifndef _WIN32
TEST(ShellOpen, TheOpenersAnswerIsWaitedFor)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    using std::chrono::milliseconds;
    struct Case {
        const char *opener; // the script body; it is given the address as $1
        milliseconds wait;
        bool opened;
    };
    const Case cases[] = {
        {"printf %s \"$1\" > \"$(dirname \"$0\")/handed\"; exit 0", milliseconds(60000), true},
        {"exit 3", milliseconds(60000), false}, // xdg-open: no program for the address
        {"exit 4", milliseconds(60000), false},
        // A browser run in the foreground: still running when the wait is over.
        {"echo $$ > \"$(dirname \"$0\")/running.new\"; mv \"$(dirname \"$0\")/running.new\" "
         "\"$(dirname \"$0\")/running\"; exec sleep 60",
         milliseconds(200), true},
    };
    const QUrl url(QStringLiteral("https://example.org/help?topic=import"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.opener);
        const QString script = folder.filePath(QStringLiteral("opener"));
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray("#!/bin/sh\n") + c.opener + "\n");
        file.close();
        ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        EXPECT_EQ(OpenWithOpener(script, url, c.wait, [] {}), c.opened);
    }
    QFile handed(folder.filePath(QStringLiteral("handed")));
    ASSERT_TRUE(handed.open(QIODevice::ReadOnly));
    EXPECT_EQ(handed.readAll(), url.toEncoded());
    EXPECT_FALSE(OpenWithOpener(folder.filePath(QStringLiteral("missing")), url, milliseconds(60000), {}));

    // The opener still running was left to run (it may start late on a
    // busy machine): end it here.
    QFile running(folder.filePath(QStringLiteral("running")));
    for (int tries = 0; tries < 600 && !running.exists(); ++tries)
        std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(running.open(QIODevice::ReadOnly));
    const pid_t pid = static_cast<pid_t>(running.readAll().trimmed().toLong());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0), 0);
    ::kill(pid, SIGTERM);
}
#endif

} // namespace
} // namespace tovaly
