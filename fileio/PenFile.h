#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <utility>

// Opening files on a pen. Whatever is found on a pen may be a symbolic link out of it, a FIFO
// or a device: every open here refuses links (unless told otherwise), never blocks, and hands
// back only regular files.

// Owns one descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_fd(other.release())
    {
    }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // close() can report a deferred write error; the caller wants to know.
    bool reset();

private:
    int m_fd = -1;
};

enum class PenAccess { Read, ReadWrite };
// Links are refused on the pen; a source chosen on the computer may be one.
enum class PenLinks { Refuse, Follow };

// Why an open gave no file.
enum class PenRefusal { None, Missing, Link, NotRegular, Failed };

// A regular file opened with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, never created, checked with
// one fstat.
class PenFile {
public:
    PenFile() = default;
    // `path` is opened as given; only its last component is refused when it is a link.
    static PenFile open(
        const QString& path, PenAccess access = PenAccess::Read, PenLinks links = PenLinks::Refuse);
    // `name` is one component or a relative path below the directory `directoryFd`; no
    // component may be a link.
    static PenFile openAt(int directoryFd, const QString& name, PenAccess access = PenAccess::Read);
    // One entry of the directory `directoryFd`, by its name as the directory listing gives it.
    static PenFile openEntry(int directoryFd, const char* name, PenAccess access = PenAccess::Read);

    bool isOpen() const { return m_fd.isValid(); }
    int fd() const { return m_fd.get(); }
    PenRefusal refusal() const { return m_refusal; }
    // Size at the time of the open.
    qint64 size() const { return m_size; }
    const struct stat& info() const { return m_info; }
    bool close() { return m_fd.reset(); }
    // The descriptor, now owned by the caller; the file counts as closed.
    FileDescriptor take() { return std::move(m_fd); }

private:
    static PenFile fromDescriptor(int fd, int openErrno);

    FileDescriptor m_fd;
    PenRefusal m_refusal = PenRefusal::Failed;
    qint64 m_size = 0;
    struct stat m_info { };
};

// Opens the directory `relative` below `directoryFd` one component at a time, none of them a
// link. Returns -1 with errno set (ELOOP or ENOTDIR for a link, ENOTDIR for a file).
int openDirectoryBeneath(int directoryFd, const QString& relative);

// Positioned I/O on a whole range, retried on EINTR and short transfers. `readAt` returns the
// bytes read (fewer at the end of the file) or an empty array on an error.
QByteArray readAt(int fd, qint64 offset, qint64 length);
// The same into the caller's buffer: the bytes read (fewer at the end of the file), or -1 with
// errno set.
qint64 readAt(int fd, qint64 offset, char* data, qint64 length);
bool writeAt(int fd, qint64 offset, const QByteArray& bytes);
