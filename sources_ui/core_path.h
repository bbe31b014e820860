#pragma once

// Paths and texts crossing between the window (QString) and the Qt-free core
// (std::string): UTF-8 on Windows, where the core speaks UTF-16 to the system
// itself; the file system's own bytes elsewhere.

#include <QString>

#include <string>

namespace tovaly {

std::string ToCore(const QString &path);
QString FromCore(const std::string &text);

} // namespace tovaly
