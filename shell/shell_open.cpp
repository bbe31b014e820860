#include "shell_open.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace tovaly {

namespace {

bool StartsWithDriveLetter(const QString &target)
{
    static const QRegularExpression drive(QStringLiteral(R"(^[A-Za-z]:[\\/])"));
    return drive.match(target).hasMatch();
}

} // namespace

QUrl ShellTargetUrl(const QString &target)
{
    if (target.isEmpty())
        return {};
    if (StartsWithDriveLetter(target) || target.startsWith(QLatin1String("\\\\")))
        return QUrl::fromLocalFile(QString(target).replace(QLatin1Char('\\'), QLatin1Char('/')));
    if (QDir::isAbsolutePath(target))
        return QUrl::fromLocalFile(target);
    const QUrl url(target);
    if (url.isValid() && !url.scheme().isEmpty())
        return url;
    return QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
}

void ShellOpen(const QString &target, const UrlOpener &open)
{
    if (target.isEmpty() || !open)
        return;
    try {
        const QUrl url = ShellTargetUrl(target);
        if (url.isValid())
            (void)open(url);
    } catch (...) {
        // Nothing is reported: the user simply sees nothing open.
    }
}

void ShellOpen(const QString &target)
{
    ShellOpen(target, [](const QUrl &url) { return QDesktopServices::openUrl(url); });
}

} // namespace tovaly
