#include "common_controls.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace tovaly {

namespace {

bool g_initialised = false;

bool Has(const QStringList &names, const QString &name)
{
    return names.contains(name, Qt::CaseInsensitive);
}

} // namespace

QString NativeStyleName(const QStringList &available, const QString &current)
{
    for (const QString &platformStyle : {QStringLiteral("windowsvista"), QStringLiteral("macos")}) {
        if (Has(available, platformStyle))
            return platformStyle;
    }
    if (!current.isEmpty() && current.compare(QLatin1String("windows"), Qt::CaseInsensitive) != 0 &&
        Has(available, current))
        return current.toLower();
    return QStringLiteral("fusion");
}

void InitCommonControls()
{
    g_initialised = true;
    const QString current = QApplication::style() != nullptr ? QApplication::style()->name() : QString();
    const QString wanted = NativeStyleName(QStyleFactory::keys(), current);
    if (current.compare(wanted, Qt::CaseInsensitive) != 0)
        QApplication::setStyle(wanted);
}

bool CommonControlsInitialised()
{
    return g_initialised;
}

} // namespace tovaly
