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

bool ShellOpen(const QString &target, const UrlOpener &open)
{
    if (target.isEmpty() || !open)
        return false;
    try {
        const QUrl url = ShellTargetUrl(target);
        if (!url.isValid())
            return false;
        // The desktop would start a browser that then says the file is
        // missing, or say nothing at all; the caller can say it better.
        if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile()))
            return false;
        return open(url);
    } catch (...) {
        return false;
    }
}

bool ShellOpen(const QString &target)
{
    return ShellOpen(target, [](const QUrl &url) { return QDesktopServices::openUrl(url); });
}

} // namespace tovaly
