#include "FuzzSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzz {

void fail(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::fputs("FUZZ CHECK FAILED: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
    std::abort();
}

namespace {

    QByteArray path(const QString& name) { return QFile::encodeName(name); }

    void writeWhole(const QByteArray& file, const QByteArray& content)
    {
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, content.constData(), size_t(content.size())) != content.size())
            fail("cannot write %s: %s", file.constData(), std::strerror(errno));
        ::close(fd);
    }

    // Removes what lies below the directory `fd`, never following a link.
    void removeBelow(int fd)
    {
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        QByteArrayList names;
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.append(entry->d_name);
        }
        for (const QByteArray& name : names) {
            struct stat info;
            if (::fstatat(::dirfd(dir), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(info.st_mode)) {
                ::fchmodat(::dirfd(dir), name.constData(), 0700, 0);
                const int child = ::openat(
                    ::dirfd(dir), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0)
                    removeBelow(child);
                ::unlinkat(::dirfd(dir), name.constData(), AT_REMOVEDIR);
            } else {
                ::unlinkat(::dirfd(dir), name.constData(), 0);
            }
        }
        ::closedir(dir);
    }

    void removeTree(const QByteArray& directory)
    {
        const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            removeBelow(fd);
        ::rmdir(directory.constData());
    }

    QString scratchBase()
    {
        const QByteArray chosen = qgetenv("PENSHELF_FUZZ_SCRATCH");
        if (!chosen.isEmpty())
            return QFile::decodeName(chosen);
        if (::access("/dev/shm", W_OK) == 0)
            return QStringLiteral("/dev/shm");
        return QDir::tempPath();
    }

} // namespace

Scratch::Scratch(const char* target)
{
    const QString base = scratchBase();
    QByteArray templ = path(base) + "/penshelf-fuzz-" + target + "-XXXXXX";
    if (!::mkdtemp(templ.data()))
        fail("cannot make a scratch directory in %s: %s", path(base).constData(), std::strerror(errno));
    ::chmod(templ.constData(), 0755);
    m_base = QFile::decodeName(templ);
    m_work = m_base + QStringLiteral("/work");
    m_outside = m_base + QStringLiteral("/outside");
    if (::mkdir(path(m_work).constData(), 0755) != 0 || ::mkdir(path(m_outside).constData(), 0755) != 0)
        fail("cannot make %s: %s", path(m_work).constData(), std::strerror(errno));
    if (::geteuid() == 0
        && ::chown(path(m_work).constData(), Unprivileged::user(), Unprivileged::user()) != 0)
        fail("cannot hand %s over: %s", path(m_work).constData(), std::strerror(errno));
}

Scratch::~Scratch() { removeTree(path(m_base)); }

void Scratch::reset()
{
    const int fd = ::open(path(m_work).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail("scratch directory %s is gone: %s", path(m_work).constData(), std::strerror(errno));
    removeBelow(fd);
}

Sentinel::Sentinel(const QString& directory)
    : m_directory(directory)
{
    // A package with a title and every header field set, as one on the pen would be.
    QByteArray package(400, '\x5A');
    package.replace(0, 8, QByteArray("OUTSIDE\0", 8));
    writeWhole(path(file()), package);
    if (::mkfifo(path(fifo()).constData(), 0666) != 0 || ::mkdir(path(folder()).constData(), 0777) != 0)
        fail("cannot build the sentinel: %s", std::strerror(errno));
    writeWhole(path(folderFile()), package);
    // Owned by the user the code under test runs as, so that a stray write succeeds and is seen.
    if (::geteuid() == 0) {
        for (const QString& entry : { m_directory, file(), fifo(), folder(), folderFile() }) {
            if (::chown(path(entry).constData(), Unprivileged::user(), Unprivileged::user()) != 0)
                fail("cannot hand %s over: %s", path(entry).constData(), std::strerror(errno));
        }
    }

    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0)
        fail("inotify: %s", std::strerror(errno));
    constexpr uint32_t everything = IN_ALL_EVENTS | IN_DONT_FOLLOW;
    for (const QString& watched : { m_directory, folder() }) {
        if (::inotify_add_watch(m_inotify, path(watched).constData(), everything) < 0)
            fail("inotify watch on %s: %s", path(watched).constData(), std::strerror(errno));
    }
    arm();
}

Sentinel::~Sentinel()
{
    if (m_inotify >= 0)
        ::close(m_inotify);
}

QString Sentinel::file() const { return m_directory + QStringLiteral("/001.dar"); }
QString Sentinel::fifo() const { return m_directory + QStringLiteral("/002.dar"); }
QString Sentinel::folder() const { return m_directory + QStringLiteral("/CUSTOM"); }
QString Sentinel::folderFile() const { return folder() + QStringLiteral("/003.dar"); }

QString Sentinel::resolve(const QByteArray& target) const
{
    if (target == "@file")
        return file();
    if (target == "@fifo")
        return fifo();
    if (target == "@dir")
        return folder();
    if (target == "@dirfile")
        return folderFile();
    if (target == "@missing")
        return m_directory + QStringLiteral("/missing.dar");
    return QFile::decodeName(target);
}

QList<QByteArray> Sentinel::snapshot() const
{
    QList<QByteArray> states;
    for (const QString& entry : { m_directory, file(), fifo(), folder(), folderFile() }) {
        struct stat info;
        QByteArray state = path(entry);
        if (::lstat(state.constData(), &info) == 0) {
            state += ' ' + QByteArray::number(qulonglong(info.st_ino)) + ' '
                + QByteArray::number(info.st_mode) + ' ' + QByteArray::number(qulonglong(info.st_nlink)) + ' '
                + QByteArray::number(info.st_uid) + ' ' + QByteArray::number(qlonglong(info.st_size)) + ' '
                + QByteArray::number(qlonglong(info.st_mtim.tv_sec)) + '.'
                + QByteArray::number(qlonglong(info.st_mtim.tv_nsec)) + ' '
                + QByteArray::number(qlonglong(info.st_ctim.tv_sec)) + '.'
                + QByteArray::number(qlonglong(info.st_ctim.tv_nsec));
        } else {
            state += " missing";
        }
        states.append(state);
    }
    return states;
}

void Sentinel::arm()
{
    alignas(inotify_event) char buffer[4096];
    while (::read(m_inotify, buffer, sizeof buffer) > 0) { }
    m_before = snapshot();
}

void Sentinel::check(const char* during)
{
    alignas(inotify_event) char buffer[4096];
    const ssize_t length = ::read(m_inotify, buffer, sizeof buffer);
    if (length > 0) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer);
        fail("%s touched a file outside the directory under test: inotify mask 0x%x on \"%s\"", during,
            event->mask, event->len ? event->name : "(the watched folder)");
    }
    const QList<QByteArray> after = snapshot();
    for (qsizetype i = 0; i < after.size(); ++i) {
        if (after[i] != m_before[i])
            fail("%s changed a file outside the directory under test:\n  before %s\n  after  %s", during,
                m_before[i].constData(), after[i].constData());
    }
}

uid_t Unprivileged::user() { return 65534; }

Unprivileged::Unprivileged()
{
    if (::geteuid() != 0)
        return;
    // Leaving uid 0 for file access also drops the capability to bypass permissions.
    ::setfsgid(user());
    ::setfsuid(user());
    m_active = true;
}

Unprivileged::~Unprivileged()
{
    if (!m_active)
        return;
    ::setfsuid(0);
    ::setfsgid(0);
}

QList<QByteArrayList> parseLines(const uint8_t* data, size_t size)
{
    // Enough for every case worth describing; keeps one input fast.
    constexpr qsizetype MaxLines = 64;
    QList<QByteArrayList> lines;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& line : input.split('\n')) {
        QByteArrayList fields = line.split(' ');
        fields.removeAll(QByteArray());
        if (!fields.isEmpty())
            lines.append(fields);
        if (lines.size() == MaxLines)
            break;
    }
    return lines;
}

QByteArray unescape(const QByteArray& field)
{
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out.append(field[i]);
            continue;
        }
        const char code = field[++i];
        if (code == 's') {
            out.append(' ');
        } else if (code == 'n') {
            out.append('\n');
        } else if (code == 'x' && i + 2 < field.size() && hex(field[i + 1]) >= 0 && hex(field[i + 2]) >= 0) {
            out.append(char(hex(field[i + 1]) * 16 + hex(field[i + 2])));
            i += 2;
        } else {
            out.append(code);
        }
    }
    return out;
}

qint64 number(const QByteArrayList& fields, int index, qint64 fallback)
{
    if (index >= fields.size())
        return fallback;
    bool ok = false;
    const qint64 value = fields[index].toLongLong(&ok, 0);
    return ok ? value : fallback;
}

TreeBuilder::TreeBuilder(const QString& root, const Sentinel& sentinel)
    : m_root(path(root))
    , m_sentinel(sentinel)
{
}

QByteArray TreeBuilder::place(const QByteArray& name) const
{
    if (name.isEmpty() || name.startsWith('/') || name.contains('\0'))
        return {};
    for (const QByteArray& part : name.split('/')) {
        if (part == "..")
            return {};
    }
    return m_root + '/' + name;
}

bool TreeBuilder::parents(const QByteArray& full)
{
    // Each missing folder on the way is made; a link on the way is not followed.
    qsizetype from = m_root.size() + 1;
    for (qsizetype slash = full.indexOf('/', from); slash >= 0; slash = full.indexOf('/', slash + 1)) {
        const QByteArray folder = full.left(slash);
        struct stat info;
        if (::lstat(folder.constData(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                return false;
        } else if (::mkdir(folder.constData(), 0755) != 0) {
            return false;
        }
    }
    return true;
}

bool TreeBuilder::directory(const QByteArray& name)
{
    const QByteArray full = place(name);
    return !full.isEmpty() && parents(full) && ::mkdir(full.constData(), 0755) == 0;
}

bool TreeBuilder::file(const QByteArray& name, qint64 size, const QByteArray& head)
{
    constexpr qint64 MaxPlainSize = 64 * 1024;
    const QByteArray full = place(name);
    if (full.isEmpty() || !parents(full))
        return false;
    size = qBound<qint64>(0, size, MaxPlainSize);
    QByteArray content(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        content[i] = char(i < head.size() ? head[i] : (i * 7 + 3) & 0xFF);
    const int fd = ::open(full.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), size_t(size)) == size;
    ::close(fd);
    return written;
}

bool TreeBuilder::sparse(const QByteArray& name, qint64 size, const QByteArray& head)
{
    constexpr qint64 MaxSparseSize = qint64(1) << 40;
    const QByteArray full = place(name);
    if (full.isEmpty() || !parents(full))
        return false;
    const int fd = ::open(full.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool made = ::write(fd, head.constData(), size_t(head.size())) == head.size()
        && ::ftruncate(fd, qBound<qint64>(0, size, MaxSparseSize)) == 0;
    ::close(fd);
    return made;
}

bool TreeBuilder::link(const QByteArray& name, const QByteArray& target)
{
    const QByteArray full = place(name);
    return !full.isEmpty() && parents(full)
        && ::symlink(path(m_sentinel.resolve(target)).constData(), full.constData()) == 0;
}

bool TreeBuilder::fifo(const QByteArray& name)
{
    const QByteArray full = place(name);
    return !full.isEmpty() && parents(full) && ::mkfifo(full.constData(), 0644) == 0;
}

bool TreeBuilder::mode(const QByteArray& name, int mode)
{
    const QByteArray full = place(name);
    struct stat info;
    // chmod would follow a link to the sentinel.
    return !full.isEmpty() && ::lstat(full.constData(), &info) == 0 && !S_ISLNK(info.st_mode)
        && ::chmod(full.constData(), mode_t(mode & 07777)) == 0;
}

namespace {

    void walk(int directoryFd, const QByteArray& prefix, Tree& tree)
    {
        DIR* dir = ::fdopendir(directoryFd);
        if (!dir) {
            ::close(directoryFd);
            return;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray relative = prefix.isEmpty() ? name : prefix + '/' + name;
            struct stat info;
            if (::fstatat(::dirfd(dir), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            TreeEntry item;
            item.size = info.st_size;
            if (S_ISREG(info.st_mode)) {
                item.kind = 'f';
                const int fd = ::openat(::dirfd(dir), name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                if (fd >= 0) {
                    QCryptographicHash hash(QCryptographicHash::Sha1);
                    constexpr qint64 Edge = 64 * 1024;
                    QByteArray buffer(Edge, '\0');
                    const ssize_t first = ::pread(fd, buffer.data(), Edge, 0);
                    hash.addData(QByteArrayView(buffer.constData(), qMax<ssize_t>(first, 0)));
                    if (info.st_size > 2 * Edge) {
                        const ssize_t last = ::pread(fd, buffer.data(), Edge, info.st_size - Edge);
                        hash.addData(QByteArrayView(buffer.constData(), qMax<ssize_t>(last, 0)));
                    } else if (info.st_size > Edge) {
                        const ssize_t rest = ::pread(fd, buffer.data(), Edge, Edge);
                        hash.addData(QByteArrayView(buffer.constData(), qMax<ssize_t>(rest, 0)));
                    }
                    item.digest = hash.result().toHex();
                    ::close(fd);
                }
            } else if (S_ISDIR(info.st_mode)) {
                item.kind = 'd';
                item.size = 0;
                const int child = ::openat(
                    ::dirfd(dir), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0)
                    walk(child, relative, tree);
            } else if (S_ISLNK(info.st_mode)) {
                item.kind = 'l';
                char target[4096];
                const ssize_t length = ::readlinkat(::dirfd(dir), name.constData(), target, sizeof target);
                item.digest = QByteArray(target, qMax<ssize_t>(length, 0));
            } else if (S_ISFIFO(info.st_mode)) {
                item.kind = 'p';
                item.size = 0;
            } else {
                item.kind = 'o';
            }
            tree.insert(relative, item);
        }
        ::closedir(dir);
    }

} // namespace

Tree snapshotTree(const QString& root)
{
    Tree tree;
    const int fd = ::open(path(root).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        walk(fd, {}, tree);
    return tree;
}

QString describe(const Tree& before, const Tree& after)
{
    QString text;
    const auto show = [](const TreeEntry& e) {
        return QStringLiteral("%1 %2 %3")
            .arg(QChar::fromLatin1(e.kind))
            .arg(e.size)
            .arg(QString::fromLatin1(e.digest));
    };
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()))
            text += QStringLiteral("  gone: %1 (%2)\n").arg(QString::fromUtf8(it.key()), show(it.value()));
        else if (after.value(it.key()) != it.value())
            text += QStringLiteral("  changed: %1 (%2 -> %3)\n")
                        .arg(QString::fromUtf8(it.key()), show(it.value()), show(after.value(it.key())));
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            text += QStringLiteral("  new: %1 (%2)\n").arg(QString::fromUtf8(it.key()), show(it.value()));
    }
    return text;
}

QByteArray readRegular(const QString& file, qint64 limit)
{
    const int fd = ::open(path(file).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat info;
    QByteArray content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        content.resize(qMin<qint64>(info.st_size, limit));
        const ssize_t got = ::pread(fd, content.data(), size_t(content.size()), 0);
        content.resize(qMax<ssize_t>(got, 0));
    }
    ::close(fd);
    return content;
}

}
