#include "PackageFolder.h"

#include "MainThreadGuard.h"

#include "AsciiCase.h"
#include "FileSync.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace {

const QString VolumeTail = QStringLiteral("USER/CUSTOM");

int openFolder(int directoryFd, const QByteArray& name)
{
    int fd;
    do
        fd = ::openat(directoryFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

PackageFolder::Problem problemOf(int directoryFd, const QByteArray& name, int error)
{
    if (error == ENOENT)
        return PackageFolder::Problem::Missing;
    if (error == ELOOP || error == ENOTDIR) {
        struct stat info;
        if (::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            return S_ISLNK(info.st_mode) ? PackageFolder::Problem::Link : PackageFolder::Problem::NotFolder;
        return PackageFolder::Problem::NotFolder;
    }
    return PackageFolder::Problem::Unreadable;
}

bool sameIgnoringCase(const char* name, const QByteArray& other)
{
    const size_t length = std::strlen(name);
    return length == size_t(other.size()) && sameIgnoringAsciiCase(name, other.constData(), length);
}

// File systems whose name lookup ignores the case of ASCII letters.
bool ignoresLetterCase(int fd)
{
    struct statfs info;
    return ::fstatfs(fd, &info) == 0
        && (info.f_type == MSDOS_SUPER_MAGIC || info.f_type == EXFAT_SUPER_MAGIC);
}

} // namespace

PackageFolder PackageFolder::open(const QString& pathKavo, Create create)
{
    PackageFolder folder;
    if (pathKavo.isEmpty() || !QDir::isAbsolutePath(pathKavo))
        return folder;
    checkNotMainThread(pathKavo.toUtf8().constData());
    folder.m_path = pathKavo.endsWith(QLatin1Char('/')) ? pathKavo : pathKavo + QLatin1Char('/');

    QString trimmed = folder.m_path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const bool belowVolume = trimmed.endsWith(QLatin1Char('/') + VolumeTail);
    QString base;
    QStringList parts;
    if (belowVolume) {
        base = trimmed.left(trimmed.size() - VolumeTail.size());
        parts = VolumeTail.split(QLatin1Char('/'));
    } else if (trimmed != QLatin1String("/")) {
        const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
        base = slash == 0 ? QStringLiteral("/") : trimmed.left(slash);
        parts = QStringList { trimmed.mid(slash + 1) };
    } else {
        base = trimmed;
    }

    // The volume itself may be reached through links; what lies below it may not.
    FileDescriptor current(::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat volume;
    if (!current.isValid() || ::fstat(current.get(), &volume) != 0) {
        folder.m_problem = belowVolume ? Problem::NoVolume : problemOf(AT_FDCWD, {}, errno);
        return folder;
    }
    for (const QString& part : parts) {
        const QByteArray name = QFile::encodeName(part);
        int next = openFolder(current.get(), name);
        if (next < 0 && errno == ENOENT && create == Create::Missing && belowVolume) {
            // A pen fresh from the factory may lack the folder; make it durable before use.
            if ((::mkdirat(current.get(), name.constData(), 0777) == 0 || errno == EEXIST)
                && syncDirectory(current.get()))
                next = openFolder(current.get(), name);
        }
        if (next < 0) {
            folder.m_problem = problemOf(current.get(), name, errno);
            return folder;
        }
        current = FileDescriptor(next);
        struct stat info;
        if (::fstat(current.get(), &info) != 0) {
            folder.m_problem = Problem::Unreadable;
            return folder;
        }
        if (belowVolume && info.st_dev != volume.st_dev) {
            folder.m_problem = Problem::OtherVolume;
            return folder;
        }
    }
    folder.m_fd = std::move(current);
    folder.m_problem = Problem::None;
    return folder;
}

bool PackageFolder::isReadable(const QString& pathKavo)
{
    const PackageFolder folder = open(pathKavo);
    return folder.isOpen() && folder.forEachName([](const char*) { return true; });
}

bool PackageFolder::isTaken(const QString& name) const
{
    if (!isOpen())
        return false;
    const QByteArray encoded = QFile::encodeName(name);
    struct stat info;
    if (::fstatat(m_fd.get(), encoded.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno != ENOENT)
        return true;
    // FAT's own lookup has ignored the case already. Elsewhere only a read of the folder finds
    // a name that differs in case, and only a name with a letter can.
    if (ignoresLetterCase(m_fd.get()) || !std::any_of(encoded.begin(), encoded.end(), isAsciiLetter))
        return false;
    bool taken = false;
    // A listing cut short may have missed the name.
    const bool read = forEachName([&](const char* entry) {
        taken = sameIgnoringCase(entry, encoded);
        return !taken;
    });
    return taken || !read;
}

bool PackageFolder::sync() const { return syncDirectory(m_fd.get()); }

bool PackageFolder::forEachName(const std::function<bool(const char* name)>& visit) const
{
    const int listing = isOpen() ? ::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0) : -1;
    DIR* directory = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!directory) {
        if (listing >= 0)
            ::close(listing);
        return false;
    }
    // The duplicate shares its position with the folder's descriptor: start at the beginning.
    ::rewinddir(directory);
    errno = 0;
    const dirent* entry;
    while ((entry = ::readdir(directory)) && visit(entry->d_name))
        errno = 0;
    // Stopped by `visit`, or at the end without an error.
    const bool complete = entry != nullptr || errno == 0;
    ::closedir(directory);
    return complete;
}
