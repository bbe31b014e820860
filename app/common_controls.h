#pragma once
// The window's controls take the platform's native look. The style is set up
// once, before the first control of the window is created.

#include <QString>
#include <QStringList>

namespace tovaly {

/// The style that gives the native look, chosen from the style names
/// `available` (QStyleFactory::keys()) and the `current` style's name:
/// "windowsvista" on Windows, "macos" on macOS, otherwise the current style
/// (the platform theme's choice), unless that is the classic flat "windows"
/// look or unknown, which gives "fusion". Names compare without case.
[[nodiscard]] QString NativeStyleName(const QStringList &available, const QString &current);

/// Applies NativeStyleName to the running QApplication. Call it before any
/// control of the window exists; calling it again changes nothing.
void InitCommonControls();

/// Whether InitCommonControls has run in this process.
[[nodiscard]] bool CommonControlsInitialised();

} // namespace tovaly
