#include "BookRemoval.h"

#include "FileSync.h"
#include "PackageFolder.h"
#include "PenFile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString messageFor(RemovalResult result)
{
    switch (result) {
    case RemovalResult::Removed:
        return {};
    case RemovalResult::NotFlushed:
        return RemoveNotFlushedMessage;
    case RemovalResult::Failed:
        break;
    }
    return RemoveFailedMessage;
}

RemovalResult removePackage(const QString& file, const QString& pathKavo)
{
    const PackageFolder folder = PackageFolder::open(pathKavo);
    if (!folder.isOpen() || !file.startsWith(folder.path()))
        return RemovalResult::Failed;
    const QString relative = file.mid(folder.path().size());
    if (relative.isEmpty() || QDir::cleanPath(relative) != relative
        || relative.startsWith(QLatin1String("..")))
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

    // FAT frees a file's clusters when the last user lets go of it, and the freed clusters may
    // reach the medium before the folder entry does: a pen pulled then keeps the name over free
    // clusters, a file that cannot be read. Held open, the file keeps its clusters until the
    // folder without its name is on the device.
    PenFile held;
    if (S_ISDIR(info.st_mode)) {
        // Removes links inside, never their targets.
        QDir(file).removeRecursively();
    } else {
        if (S_ISREG(info.st_mode))
            held = PenFile::openAt(parent.get(), QFile::decodeName(name));
        if (unlinkAt(parent.get(), name.constData()) != 0)
            return RemovalResult::Failed;
    }
    if (::fstatat(parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return RemovalResult::Failed;
    if (!syncDirectory(parent.get()))
        return RemovalResult::NotFlushed;
    if (!held.isOpen())
        return RemovalResult::Removed;
    held.close();
    // Now the freed clusters.
    return syncDirectory(parent.get()) ? RemovalResult::Removed : RemovalResult::NotFlushed;
}
