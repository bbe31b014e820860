#include "shell_open.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

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

bool OpenWithOpener(const QString &program, const QUrl &url, std::chrono::milliseconds wait,
                    const std::function<void()> &serve)
{
    // The opener runs in the background of a shell that answers with its
    // exit status, or with 0 once the wait is over; the opener is not the
    // shell's to end, so a browser it runs in the foreground stays open.
    static const QString script = QStringLiteral(R"(
"$1" "$2" </dev/null >/dev/null 2>&1 &
opener=$!
trap 'exit 0' USR1
(
  trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
  sleep "$3" & sleeper=$!
  wait "$sleeper" && kill -USR1 $$
) </dev/null >/dev/null 2>&1 &
timer=$!
wait "$opener"
status=$?
kill "$timer" 2>/dev/null
wait "$timer"
exit "$status"
)");
    try {
        QProcess shell;
        shell.setStandardInputFile(QProcess::nullDevice());
        shell.setStandardOutputFile(QProcess::nullDevice());
        shell.setStandardErrorFile(QProcess::nullDevice());
        const QString seconds = QString::number(static_cast<double>(wait.count()) / 1000.0, 'f', 3);
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, QStringLiteral("sh"), program,
                                                url.toString(QUrl::FullyEncoded), seconds});
        if (!shell.waitForStarted())
            return false;
        // The shell answers within the wait; should it not, the opener is
        // taken to be showing the document.
        QElapsedTimer clock;
        clock.start();
        const qint64 limit = wait.count() + 5000;
        while (!shell.waitForFinished(20)) {
            if (shell.state() == QProcess::NotRunning)
                break;
            if (clock.elapsed() > limit) {
                shell.kill();
                shell.waitForFinished();
                return true;
            }
            if (serve)
                serve();
        }
        return shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
    } catch (...) {
        return false;
    }
}

bool ShellOpen(const QString &target)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS) && !defined(Q_OS_ANDROID)
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty() && QFileInfo(QStringLiteral("/bin/sh")).isExecutable())
        return ShellOpen(target, [&opener](const QUrl &url) {
            return OpenWithOpener(opener, url, kOpenerWait, [] { QCoreApplication::processEvents(); });
        });
#endif
    return ShellOpen(target, [](const QUrl &url) { return QDesktopServices::openUrl(url); });
}

} // namespace tovaly
