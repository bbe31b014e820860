#include "shell_open.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

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

} // namespace
} // namespace tovaly
