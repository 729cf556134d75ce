#include "FileSync.h"

#include "PenFile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

SyncCalls systemSyncCalls()
{
    return {
        [](int fd) { return ::fsync(fd); },
        [](int dir, const char* name, int flags) { return ::unlinkat(dir, name, flags); },
    };
}

SyncCalls& syncCalls()
{
    static SyncCalls calls = systemSyncCalls();
    return calls;
}

int unlinkAt(int directoryFd, const char* name, int flags)
{
    return syncCalls().unlinkat(directoryFd, name, flags);
}

bool syncFile(int fd) { return fd >= 0 && syncCalls().fsync(fd) == 0; }

bool syncDirectory(int directoryFd)
{
    if (directoryFd < 0)
        return false;
    if (syncCalls().fsync(directoryFd) == 0)
        return true;
    return (errno == EINVAL || errno == EOPNOTSUPP) && ::syncfs(directoryFd) == 0;
}

bool syncDirectory(const QString& directory)
{
    const FileDescriptor fd(
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return syncDirectory(fd.get());
}

RenameCalls systemRenameCalls()
{
    return {
        [](int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
            return ::renameat2(fromDir, from, toDir, to, flags);
        },
        [](int fromDir, const char* from, int toDir, const char* to, int flags) {
            return ::linkat(fromDir, from, toDir, to, flags);
        },
        [](int dir, const char* name, int flags) { return ::unlinkat(dir, name, flags); },
    };
}

RenameResult renameNoReplaceAt(
    int fromDirectory, const QString& from, int toDirectory, const QString& to, const RenameCalls& calls)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (calls.renameat2(fromDirectory, source.constData(), toDirectory, target.constData(), RENAME_NOREPLACE)
        == 0)
        return RenameResult::Done;
    if (errno == EEXIST)
        return RenameResult::TargetExists;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return RenameResult::Failed;

    // No RENAME_NOREPLACE here: link() refuses an existing name as well.
    if (calls.linkat(fromDirectory, source.constData(), toDirectory, target.constData(), 0) != 0) {
        if (errno == EEXIST)
            return RenameResult::TargetExists;
        // No hard links either (FAT on an old kernel, a directory): there is no way to rename
        // that cannot replace a name taken after a check.
        if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK)
            return RenameResult::Unsupported;
        return RenameResult::Failed;
    }
    if (calls.unlinkat(fromDirectory, source.constData(), 0) != 0)
        return RenameResult::BothNames;
    return RenameResult::Done;
}

RenameResult renameNoReplace(const QString& from, const QString& to)
{
    return renameNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to);
}
