#include "PenFile.h"

#include "MainThreadGuard.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

bool FileDescriptor::reset()
{
    const bool ok = m_fd < 0 || ::close(m_fd) == 0;
    m_fd = -1;
    return ok;
}

namespace {

int openFlags(PenAccess access, PenLinks links)
{
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer forever.
    int flags = (access == PenAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (links == PenLinks::Refuse)
        flags |= O_NOFOLLOW;
    return flags;
}

int retryOpenAt(int directoryFd, const char* name, int flags)
{
    int fd;
    do
        fd = ::openat(directoryFd, name, flags);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// glibc's fstat asks the kernel for an fstatat of an empty path, which costs a path buffer per
// call on the kernels our users run; a scan checks a thousand files. The plain call where it has
// the same layout.
int statOf(int fd, struct stat* info)
{
#if defined(__x86_64__) && defined(SYS_fstat)
    return int(::syscall(SYS_fstat, fd, info));
#else
    return ::fstat(fd, info);
#endif
}

} // namespace

PenFile PenFile::fromDescriptor(int fd, int openErrno)
{
    PenFile file;
    if (fd < 0) {
        // O_NOFOLLOW on a link gives ELOOP.
        file.m_refusal = openErrno == ENOENT ? PenRefusal::Missing
            : openErrno == ELOOP             ? PenRefusal::Link
                                             : PenRefusal::Failed;
        return file;
    }
    FileDescriptor owned(fd);
    if (statOf(fd, &file.m_info) != 0) {
        file.m_refusal = PenRefusal::Failed;
        return file;
    }
    if (!S_ISREG(file.m_info.st_mode)) {
        file.m_refusal = PenRefusal::NotRegular;
        return file;
    }
    file.m_fd = std::move(owned);
    file.m_size = file.m_info.st_size;
    file.m_refusal = PenRefusal::None;
    return file;
}

PenFile PenFile::open(const QString& path, PenAccess access, PenLinks links)
{
    // A file chosen on the computer may be opened anywhere; a pen's file only off the window's thread.
    if (links == PenLinks::Refuse)
        checkNotMainThread(path.toUtf8().constData());
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty())
        return fromDescriptor(-1, ENOENT);
    const int fd = retryOpenAt(AT_FDCWD, name.constData(), openFlags(access, links));
    return fromDescriptor(fd, errno);
}

PenFile PenFile::openAt(int directoryFd, const QString& name, PenAccess access)
{
    checkNotMainThread(name.toUtf8().constData());
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        const QByteArray encoded = QFile::encodeName(name);
        const int fd = retryOpenAt(directoryFd, encoded.constData(), openFlags(access, PenLinks::Refuse));
        return fromDescriptor(fd, errno);
    }
    const FileDescriptor parent(openDirectoryBeneath(directoryFd, name.left(slash)));
    if (!parent.isValid())
        return fromDescriptor(-1, errno == ENOTDIR ? ELOOP : errno);
    return openAt(parent.get(), name.mid(slash + 1), access);
}

PenFile PenFile::openEntry(int directoryFd, const char* name, PenAccess access)
{
    checkNotMainThread(name);
    const int fd = retryOpenAt(directoryFd, name, openFlags(access, PenLinks::Refuse));
    return fromDescriptor(fd, errno);
}

int openDirectoryBeneath(int directoryFd, const QString& relative)
{
    int current = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (current < 0)
            return -1;
        // "..", or a link, would leave the tree; a link fails with ELOOP (or ENOTDIR).
        if (part == QLatin1String("..")) {
            ::close(current);
            errno = EACCES;
            return -1;
        }
        const QByteArray encoded = QFile::encodeName(part);
        const int next
            = retryOpenAt(current, encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(current);
        errno = saved;
        current = next;
    }
    return current;
}

qint64 readAt(int fd, qint64 offset, char* data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd, data + done, size_t(length - done), off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

QByteArray readAt(int fd, qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    const qint64 done = readAt(fd, offset, bytes.data(), length);
    if (done < 0)
        return {};
    bytes.truncate(done);
    return bytes;
}

bool writeAt(int fd, qint64 offset, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t put
            = ::pwrite(fd, bytes.constData() + done, size_t(bytes.size() - done), off_t(offset + done));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (put == 0)
            return false;
        done += put;
    }
    return true;
}
