#include "PathInside.h"

#include <QDir>

QString relativePathInside(const QString& folderPath, const QString& file)
{
    if (!file.startsWith(folderPath))
        return {};
    const QString relative = file.mid(folderPath.size());
    if (relative.isEmpty() || QDir::cleanPath(relative) != relative
        || relative.startsWith(QLatin1String("..")))
        return {};
    return relative;
}
