#pragma once
// The help manual ships beside the executable as manual.html.

#include <QString>

namespace tovaly {

/// The file name of the manual beside the executable.
[[nodiscard]] QString ManualFileName();

/// The absolute file:// address of the manual in `executableDir`.
[[nodiscard]] QString HelpManualAddress(const QString &executableDir);

/// The warning shown when the help address could not be opened: "The help
/// manual could not be opened." CR LF, then where it is: the file's path
/// in native form for a file address, else the address itself.
[[nodiscard]] QString HelpManualFailureText(const QString &address);

} // namespace tovaly
