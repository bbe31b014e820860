#include "shell_open.h"

#include <QDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace tovaly {
namespace {

TEST(ShellOpen, AnEmptyTargetMakesNoCall)
{
    int calls = 0;
    ShellOpen(QString(), [&](const QUrl &) {
        ++calls;
        return true;
    });
    EXPECT_EQ(calls, 0);
}

TEST(ShellOpen, HandsFilesAndAddressesOnAsUrls)
{
    std::vector<QUrl> opened;
    const auto opener = [&](const QUrl &url) {
        opened.push_back(url);
        return false; // a failure is not reported
    };
    const QString manual = QDir::rootPath() + QStringLiteral("opt/tovaly/manual.html");
    ShellOpen(manual, opener);
    ShellOpen(QStringLiteral("https://example.org/help?topic=import"), opener);
    ShellOpen(QStringLiteral("file:///opt/tovaly/manual.html"), opener);

    ASSERT_EQ(opened.size(), 3U);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(manual));
    EXPECT_EQ(opened[1].scheme(), QStringLiteral("https"));
    EXPECT_EQ(opened[1].query(), QStringLiteral("topic=import"));
    EXPECT_TRUE(opened[2].isLocalFile());
    EXPECT_EQ(opened[2].toLocalFile(), QStringLiteral("/opt/tovaly/manual.html"));
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

TEST(ShellOpen, AFailingOpenerIsSilent)
{
    EXPECT_NO_THROW(ShellOpen(QStringLiteral("https://example.org"),
                              [](const QUrl &) -> bool { throw std::runtime_error("no handler"); }));
}

} // namespace
} // namespace tovaly
