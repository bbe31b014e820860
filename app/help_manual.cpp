#include "help_manual.h"

#include <QDir>
#include <QUrl>

namespace tovaly {

QString ManualFileName()
{
    return QStringLiteral("manual.html");
}

QString HelpManualAddress(const QString &executableDir)
{
    const QString path = QDir(executableDir).absoluteFilePath(ManualFileName());
    return QUrl::fromLocalFile(QDir::cleanPath(path)).toString(QUrl::FullyEncoded);
}

} // namespace tovaly
