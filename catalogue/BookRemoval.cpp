#include "BookRemoval.h"

#include "HeldRemoval.h"
#include "PackageFolder.h"
#include "PathInside.h"
#include "PenFile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

RemovalResult removePackage(const QString& file, const QString& pathKavo)
{
    const PackageFolder folder = PackageFolder::open(pathKavo);
    const QString relative = folder.isOpen() ? relativePathInside(folder.path(), file) : QString();
    if (relative.isEmpty())
        return RemovalResult::Failed;

    // The entry's own folder, reached without following a link.
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    const FileDescriptor parent(
        openDirectoryBeneath(folder.fd(), slash >= 0 ? relative.left(slash) : QString()));
    if (!parent.isValid())
        return RemovalResult::Failed;
    const QByteArray name = QFile::encodeName(relative.mid(slash + 1));
    struct stat info;
    if (::fstatat(parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return RemovalResult::Failed;

    // A file is held open until the folder without its name is on the device.
    HeldRemoval removal(parent.get());
    if (S_ISDIR(info.st_mode)) {
        // Removes links inside, never their targets.
        QDir(file).removeRecursively();
    } else {
        PenFile held
            = S_ISREG(info.st_mode) ? PenFile::openAt(parent.get(), QFile::decodeName(name)) : PenFile();
        if (!removal.remove(name.constData(), std::move(held)))
            return RemovalResult::Failed;
    }
    if (::fstatat(parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return RemovalResult::Failed;
    const HeldRemoval::Flushed flushed = removal.finish();
    return flushed.names && flushed.clusters ? RemovalResult::Removed : RemovalResult::NotFlushed;
}
