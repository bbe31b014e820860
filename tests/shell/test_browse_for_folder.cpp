#include "browse_for_folder.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <stdexcept>

namespace tovaly {
namespace {

TEST(BrowseForFolder, EveryWayOfNotChoosingAFolderGivesTheEmptyText)
{
    EXPECT_EQ(FolderPathFromUrl(QUrl()), QString()); // cancelled or closed
    EXPECT_EQ(FolderPathFromUrl(QUrl(QStringLiteral("smb://server/share/mail"))), QString());
    EXPECT_EQ(FolderPathFromUrl(QUrl(QStringLiteral("https://example.org/folder"))), QString());

    const auto throwing = [](QWidget *, const QString &) -> QUrl { throw std::runtime_error("picker failed"); };
    EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Choose Source Folder..."), throwing), QString());
    EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Choose Source Folder..."), FolderDialog()), QString());
}

TEST(BrowseForFolder, AFolderHasNoTrailingSeparatorButARootKeepsIt)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = QDir::cleanPath(dir.path());

    EXPECT_EQ(FolderPathFromUrl(QUrl::fromLocalFile(folder + QStringLiteral("/"))), QDir::toNativeSeparators(folder));
    EXPECT_EQ(FolderPathFromUrl(QUrl::fromLocalFile(folder)), QDir::toNativeSeparators(folder));
    EXPECT_EQ(FolderPathFromUrl(QUrl::fromLocalFile(QDir::rootPath())), QDir::toNativeSeparators(QDir::rootPath()));
    // A drive root keeps its separator wherever the path is cleaned.
    EXPECT_EQ(NormaliseFolderPath(QStringLiteral("C:/")), QDir::toNativeSeparators(QStringLiteral("C:/")));
    EXPECT_EQ(NormaliseFolderPath(QStringLiteral("C:/Mail/")), QDir::toNativeSeparators(QStringLiteral("C:/Mail")));
    EXPECT_EQ(NormaliseFolderPath(QString()), QString());
}

TEST(BrowseForFolder, PassesOwnerAndTitleAndReturnsThePickedFolder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString seenTitle;
    const auto picker = [&](QWidget *, const QString &title) {
        seenTitle = title;
        return QUrl::fromLocalFile(dir.path());
    };
    EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Choose Folder to Save..."), picker),
              QDir::toNativeSeparators(QDir::cleanPath(dir.path())));
    EXPECT_EQ(seenTitle, QStringLiteral("Choose Folder to Save..."));
}

} // namespace
} // namespace tovaly
