#pragma once
// The folder picker behind a plain text interface: a folder path, or the
// empty text for every way of not choosing one.

#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace tovaly {

/// Shows the picker and returns the chosen folder's URL; an empty URL when the
/// user cancelled. The real one is the toolkit's directory dialog.
using FolderDialog = std::function<QUrl(QWidget *owner, const QString &title)>;

/// Lets the user choose a folder in a picker modal to `owner` and titled
/// `title`. Returns the folder's path in native form: a drive or file-system
/// root keeps its separator, any other folder has none at its end. Returns
/// the empty text on cancel, for an item that is not a local folder, and on
/// any failure; it never throws.
[[nodiscard]] QString BrowseForFolder(QWidget *owner, const QString &title);

/// As above, with the picker given (a seam for tests).
[[nodiscard]] QString BrowseForFolder(QWidget *owner, const QString &title, const FolderDialog &dialog);

/// The path BrowseForFolder returns for a picker's answer `folder`: empty for
/// an empty, invalid or non-local URL, otherwise NormaliseFolderPath of its
/// local path.
[[nodiscard]] QString FolderPathFromUrl(const QUrl &folder);

/// `path` cleaned and in native form, with no trailing separator except on a
/// root ("/", "C:\"); empty for the empty text.
[[nodiscard]] QString NormaliseFolderPath(const QString &path);

} // namespace tovaly
