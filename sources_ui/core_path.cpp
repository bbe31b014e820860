#include "core_path.h"

#include <QByteArray>
#include <QFile>

namespace tovaly {

std::string ToCore(const QString &path)
{
#ifdef _WIN32
    return path.toUtf8().toStdString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

QString FromCore(const std::string &text)
{
#ifdef _WIN32
    return QString::fromUtf8(QByteArray::fromStdString(text));
#else
    return QFile::decodeName(QByteArray::fromStdString(text));
#endif
}

} // namespace tovaly
