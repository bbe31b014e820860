#pragma once
// The product's title, shared by the window caption, its title label and the
// message boxes.

#include <QString>

namespace tovaly {

/// "Tovaly Opera to MBOX Converter": the window caption, the title label and
/// the title of every message box except the conversion's completion box.
[[nodiscard]] inline QString ApplicationTitle()
{
    return QStringLiteral("Tovaly Opera to MBOX Converter");
}

} // namespace tovaly
