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

QString HelpManualFailureText(const QString &address)
{
    const QUrl url(address);
    const QString where = url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : address;
    return QStringLiteral("The help manual could not be opened.\r\nIt is at: ") + where;
}

} // namespace tovaly
