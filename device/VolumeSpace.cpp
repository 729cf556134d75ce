#include "VolumeSpace.h"

#include <QFile>

#include <sys/statvfs.h>

#include <algorithm>

std::optional<VolumeUsage> queryVolumeUsage(const QString& path)
{
    if (path.isEmpty())
        return std::nullopt;
    struct statvfs info;
    if (::statvfs(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    const qint64 unit = qint64(info.f_frsize ? info.f_frsize : info.f_bsize);
    return VolumeUsage { qint64(info.f_bavail) * unit, qint64(info.f_blocks) * unit,
        std::max<qint64>(unit, qint64(info.f_bsize)) };
}

QString humanSize(qint64 bytes)
{
    static const char* const Units[] = { "KB", "MB", "GB", "TB", "PB", "EB" };
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(std::max<qint64>(bytes, 0));
    double value = double(bytes);
    for (const char* unit : Units) {
        value /= 1000;
        // 999.96 KB would print as 1000.0 KB: take the next unit instead.
        if (value < 999.95 || unit == Units[std::size(Units) - 1])
            return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(unit));
    }
    return {};
}
