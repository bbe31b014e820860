#include "browse_for_folder.h"

#include <QDir>
#include <QFileDialog>
#include <QRegularExpression>

namespace tovaly {

namespace {

QUrl ShowDirectoryDialog(QWidget *owner, const QString &title)
{
    return QFileDialog::getExistingDirectoryUrl(owner, title, QUrl(), QFileDialog::ShowDirsOnly,
                                                {QStringLiteral("file")});
}

// A bare drive ("C:") is what cleaning leaves of a drive root on some
// platforms; the root keeps its separator.
bool IsBareDrive(const QString &path)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:$"));
    return drive.match(path).hasMatch();
}

} // namespace

QString FolderPathFromUrl(const QUrl &folder)
{
    if (folder.isEmpty() || !folder.isValid() || !folder.isLocalFile())
        return {};
    return NormaliseFolderPath(folder.toLocalFile());
}

QString NormaliseFolderPath(const QString &path)
{
    if (path.isEmpty())
        return {};
    QString cleaned = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (IsBareDrive(cleaned))
        cleaned += QLatin1Char('/');
    return QDir::toNativeSeparators(cleaned);
}

QString BrowseForFolder(QWidget *owner, const QString &title, const FolderDialog &dialog)
{
    try {
        if (!dialog)
            return {};
        return FolderPathFromUrl(dialog(owner, title));
    } catch (...) {
        return {};
    }
}

QString BrowseForFolder(QWidget *owner, const QString &title)
{
    return BrowseForFolder(owner, title, &ShowDirectoryDialog);
}

} // namespace tovaly
