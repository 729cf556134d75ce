#include "BookRemoval.h"

#include "FileSync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// The entry's own location (its parent resolved, the entry itself not) lies inside the
// package directory.
bool isInside(const QFileInfo& entry, const QString& directory)
{
    const QString root = QFileInfo(directory).canonicalFilePath();
    const QString parent = QFileInfo(entry.absolutePath()).canonicalFilePath();
    if (root.isEmpty() || parent.isEmpty())
        return false;
    return parent == root || parent.startsWith(root + QLatin1Char('/'));
}

} // namespace

bool removePackage(const QString& file, const QString& pathKavo)
{
    const QFileInfo entry(file);
    if (pathKavo.isEmpty() || !entry.isAbsolute() || !isInside(entry, pathKavo))
        return false;
    if (!entry.exists() && !entry.isSymLink())
        return false;

    bool removed = false;
    if (entry.isDir() && !entry.isSymLink())
        removed = QDir(file).removeRecursively(); // removes links inside, never their targets
    else
        removed = QFile::remove(file);
    syncDirectory(entry.absolutePath());
    return removed && !QFileInfo(file).exists() && !QFileInfo(file).isSymLink();
}
