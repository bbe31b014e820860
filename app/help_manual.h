#pragma once
// The help manual ships beside the executable as manual.html.

#include <QString>

namespace tovaly {

/// The file name of the manual beside the executable.
[[nodiscard]] QString ManualFileName();

/// The absolute file:// address of the manual in `executableDir`.
[[nodiscard]] QString HelpManualAddress(const QString &executableDir);

} // namespace tovaly
