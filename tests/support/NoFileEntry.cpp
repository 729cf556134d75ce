#include "NoFileEntry.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace {

bool makeFifo(const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0; }

} // namespace

QString linkedOutsideFile(const QString& elsewhere) { return elsewhere + QStringLiteral("/outside.dar"); }

bool makeNoFileEntry(const QString& kind, const QString& path, const QString& elsewhere)
{
    if (kind == QLatin1String("link"))
        return QFile::link(linkedOutsideFile(elsewhere), path);
    if (kind == QLatin1String("folder link"))
        return QFile::link(elsewhere, path);
    if (kind == QLatin1String("dangling"))
        return QFile::link(elsewhere + QStringLiteral("/nothing"), path);
    if (kind == QLatin1String("fifo"))
        return makeFifo(path);
    if (kind == QLatin1String("link to fifo")) {
        const QString fifo = elsewhere + QStringLiteral("/fifo");
        return makeFifo(fifo) && QFile::link(fifo, path);
    }
    if (kind == QLatin1String("directory"))
        return QDir().mkpath(path);
    return false;
}
