#include "FileSync.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool syncFile(int fd) { return fd >= 0 && ::fsync(fd) == 0; }

bool syncDirectory(const QString& directory)
{
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

RenameResult renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return RenameResult::Done;
    if (errno == EEXIST)
        return RenameResult::TargetExists;
    if (errno != EINVAL && errno != ENOSYS)
        return RenameResult::Failed;

    // No RENAME_NOREPLACE here (vfat on older kernels): link() refuses an existing target.
    // A directory cannot be linked; for it check and rename, the best the system offers.
    if (QFileInfo(from).isDir()) {
        if (QFileInfo::exists(to))
            return RenameResult::TargetExists;
        return ::rename(source.constData(), target.constData()) == 0 ? RenameResult::Done
                                                                     : RenameResult::Failed;
    }
    if (::link(source.constData(), target.constData()) != 0) {
        if (errno == EEXIST)
            return RenameResult::TargetExists;
        if (errno != EPERM && errno != EOPNOTSUPP)
            return RenameResult::Failed;
        // FAT has no hard links.
        if (QFileInfo::exists(to))
            return RenameResult::TargetExists;
        return ::rename(source.constData(), target.constData()) == 0 ? RenameResult::Done
                                                                     : RenameResult::Failed;
    }
    return ::unlink(source.constData()) == 0 ? RenameResult::Done : RenameResult::Failed;
}
