#pragma once
// Hands a document path or a web address to the desktop to open with the
// user's default application.

#include <QString>
#include <QUrl>

#include <chrono>
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

/// How long the desktop's opener is waited for before it is taken to be
/// showing the document.
inline constexpr std::chrono::milliseconds kOpenerWait{5000};

/// Runs the desktop's opener `program` (xdg-open) with `url` and waits for
/// its answer, at most `wait`, calling `serve` meanwhile so a window stays
/// drawn: true when it exited with status 0, or still runs when the wait is
/// over (it then shows the document: xdg-open without a desktop runs the
/// browser itself and ends with it); false when it could not be started or
/// exited with another status (3: no program for the address). An opener
/// still running is left to run on. Never throws.
bool OpenWithOpener(const QString &program, const QUrl &url, std::chrono::milliseconds wait,
                    const std::function<void()> &serve);

/// Asks the desktop to open `target`. False when it could not be handed
/// on: an empty target, one that gives no valid URL, a local file that does
/// not exist, or a desktop that refused it. Where the desktop's opener
/// tells whether a program took the address (xdg-open on Linux and other
/// Unix desktops), its answer is waited for (see OpenWithOpener, with the
/// application's events handled meanwhile); elsewhere true says only that
/// it was handed on. Never throws.
bool ShellOpen(const QString &target);

/// As above, with the opener given (a seam for tests). `open` is not called
/// at all for a target that cannot be handed on.
bool ShellOpen(const QString &target, const UrlOpener &open);

} // namespace tovaly
