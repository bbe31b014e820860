#pragma once
// Hands a document path or a web address to the desktop to open with the
// user's default application.

#include <QString>
#include <QUrl>

#include <functional>

namespace tovaly {

/// Opens a URL with the desktop's default handler; false when it could not.
/// The real one is QDesktopServices::openUrl.
using UrlOpener = std::function<bool(const QUrl &)>;

/// The URL ShellOpen hands on for `target`: an absolute file path (also one
/// with a drive letter) becomes a file URL, text with a scheme is taken as a
/// URL, and a relative path is resolved against the current folder. Empty for
/// the empty text.
[[nodiscard]] QUrl ShellTargetUrl(const QString &target);

/// Asks the desktop to open `target` and returns at once. False when it
/// could not be handed on: an empty target, one that gives no valid URL, a
/// local file that does not exist, or a desktop that refused it. True says
/// only that it was handed on, not that anything opened. Never throws.
bool ShellOpen(const QString &target);

/// As above, with the opener given (a seam for tests). `open` is not called
/// at all for a target that cannot be handed on.
bool ShellOpen(const QString &target, const UrlOpener &open);

} // namespace tovaly
