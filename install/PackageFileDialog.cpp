#include "PackageFileDialog.h"

#include <QFileInfo>

bool isPackageSource(const QString& path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix().toLower();
    return info.isFile() && (suffix == QLatin1String("dab") || suffix == QLatin1String("dsb"));
}

void PackageFileDialog::accept()
{
    const QStringList files = selectedFiles();
    // Directories and missing names go to the base class, which opens or reports them.
    if (files.size() == 1 && QFileInfo(files.first()).isFile() && !isPackageSource(files.first()))
        return;
    QFileDialog::accept();
}
