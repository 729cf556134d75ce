#include "PackageFileDialog.h"

#include <QFileInfo>

#include <algorithm>

bool isPackageSource(const QString& path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix().toLower();
    return info.isFile() && (suffix == QLatin1String("dab") || suffix == QLatin1String("dsb"));
}

DroppedFiles sortDroppedFiles(const QList<QUrl>& urls)
{
    DroppedFiles files;
    for (const QUrl& url : urls) {
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (!path.isEmpty() && isPackageSource(path)) {
            if (!files.packages.contains(path))
                files.packages << path;
        } else {
            const QString name = url.isLocalFile() ? QFileInfo(path).fileName() : url.fileName();
            files.refused << (name.isEmpty() ? url.toDisplayString() : name);
        }
    }
    return files;
}

void PackageFileDialog::accept()
{
    const QStringList files = selectedFiles();
    // Directories and missing names go to the base class, which opens or reports them.
    if (std::any_of(files.cbegin(), files.cend(),
            [](const QString& file) { return QFileInfo(file).isFile() && !isPackageSource(file); }))
        return;
    QFileDialog::accept();
}
