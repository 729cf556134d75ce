#include "PackageCopy.h"

#include "CopyVerify.h"
#include "FileSync.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

// A header write may extend a short package up to the end of the start sticker field.
constexpr qint64 HeaderEnd = BookHeader::StartStickerOffset + BookHeader::StartStickerLength;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    // close() can report a deferred write error; the caller wants to know.
    bool reset()
    {
        const bool ok = m_fd < 0 || ::close(m_fd) == 0;
        m_fd = -1;
        return ok;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const char* data, qint64 length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(length));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

// Moves up to `length` bytes from the source's position to the target's. Returns the bytes
// moved (0 at the end of the source) or -1. Switches `kernelCopy` off where sendfile cannot
// write to the target file system and the caller then copies through `buffer`.
qint64 copyBlock(int source, int target, qint64 length, bool& kernelCopy, std::vector<char>& buffer)
{
    if (kernelCopy) {
        for (;;) {
            const ssize_t moved = ::sendfile(target, source, nullptr, size_t(length));
            if (moved >= 0)
                return moved;
            if (errno == EINTR)
                continue;
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return -1;
            kernelCopy = false;
            break;
        }
    }
    if (buffer.size() < size_t(length))
        buffer.resize(size_t(length));
    for (;;) {
        const ssize_t got = ::read(source, buffer.data(), size_t(length));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got;
        return writeAll(target, buffer.data(), got) ? got : -1;
    }
}

// Starts writeback of what was just written and waits for what lies more than `window`
// bytes behind, so dirty data never piles up in the page cache. Returns false on a write
// error; a file system without the call simply gets no early writeback.
class Writeback {
public:
    Writeback(int fd, qint64 window)
        : m_fd(fd)
        , m_window(window)
    {
    }
    bool written(qint64 offset, qint64 length)
    {
        if (m_window <= 0 || !m_supported)
            return true;
        if (!call(offset, length, SYNC_FILE_RANGE_WRITE))
            return false;
        const qint64 behind = offset + length - m_window;
        if (behind > m_waited) {
            if (!call(m_waited, behind - m_waited,
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER))
                return false;
            m_waited = behind;
        }
        return true;
    }

private:
    bool call(qint64 offset, qint64 length, unsigned flags)
    {
        if (::sync_file_range(m_fd, offset, length, flags) == 0)
            return true;
        if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) {
            m_supported = false;
            return true;
        }
        return false;
    }

    int m_fd;
    qint64 m_window;
    qint64 m_waited = 0;
    bool m_supported = true;
};

// A name the catalogue never lists (installed packages have seven-character names) and that
// cannot collide with another install: created exclusively, retried on a clash.
FileDescriptor createTemporary(const QDir& directory, QString& path)
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        QString name = QStringLiteral(".penshelf-");
        for (int i = 0; i < 8; ++i)
            name += QLatin1Char(Letters[QRandomGenerator::global()->bounded(int(sizeof Letters - 1))]);
        name += QStringLiteral(".tmp");
        path = directory.filePath(name);
        const int fd
            = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return FileDescriptor(fd);
        if (errno != EEXIST)
            break;
    }
    path.clear();
    return FileDescriptor();
}

// The new directory entry must survive pulling the pen. Some file systems cannot fsync a
// directory; there a sync of the whole file system does the same.
bool syncPackageDirectory(const QString& directory)
{
    if (syncDirectory(directory))
        return true;
    FileDescriptor fd(::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.isValid() && ::syncfs(fd.get()) == 0;
}

void removeFile(const QString& path)
{
    if (!path.isEmpty())
        ::unlink(QFile::encodeName(path).constData());
}

} // namespace

QString packageFileName(const QString& bookOid, const QString& extBook) { return bookOid + extBook; }

namespace {
// An empty or relative package directory would resolve against the working directory.
bool isPackageDirectory(const QString& pathKavo)
{
    return !pathKavo.isEmpty() && QDir::isAbsolutePath(pathKavo);
}
}

std::bitset<1000> takenBookOids(const QString& pathKavo, const QString& extBook)
{
    std::bitset<1000> taken;
    if (!isPackageDirectory(pathKavo))
        return taken;
    // One read of the directory: on FAT every lookup of a name searches the whole directory,
    // so asking for each number in turn reads it hundreds of times.
    DIR* directory = ::opendir(QFile::encodeName(pathKavo).constData());
    if (!directory)
        return taken;
    const QByteArray suffix = QFile::encodeName(extBook);
    const auto sameLetters = [](char a, char b) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(a) == lower(b);
    };
    while (const dirent* entry = ::readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strlen(name) != size_t(3 + suffix.size()))
            continue;
        if (!std::all_of(name, name + 3, [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        // FAT ignores the letter case of names: "004.DAR" takes 004 as "004.dar" does.
        if (!std::equal(suffix.begin(), suffix.end(), name + 3, sameLetters))
            continue;
        taken.set(size_t((name[0] - '0') * 100 + (name[1] - '0') * 10 + (name[2] - '0')));
    }
    ::closedir(directory);
    return taken;
}

QString proposeBookOid(const QString& pathKavo, const QString& extBook)
{
    const std::bitset<1000> taken = takenBookOids(pathKavo, extBook);
    int oid = FirstProposedOid;
    while (oid < LastProposedOid && taken.test(size_t(oid)))
        ++oid;
    return QStringLiteral("%1").arg(oid, 3, 10, QLatin1Char('0'));
}

std::optional<VolumeSpace> queryVolumeSpace(const QString& directory)
{
    struct statvfs info;
    if (::statvfs(QFile::encodeName(directory).constData(), &info) != 0)
        return std::nullopt;
    const qint64 unit = qint64(info.f_frsize ? info.f_frsize : info.f_bsize);
    return VolumeSpace { qint64(info.f_bavail) * unit, std::max<qint64>(unit, qint64(info.f_bsize)) };
}

bool fitsOnVolume(qint64 size, const VolumeSpace& space)
{
    const qint64 cluster = std::max<qint64>(space.cluster, 1);
    const qint64 bytes = std::max(size, HeaderEnd);
    const qint64 needed = (bytes + cluster - 1) / cluster * cluster + cluster;
    return needed <= space.available;
}

QString messageFor(InstallResult result)
{
    switch (result) {
    case InstallResult::Installed:
        return {};
    case InstallResult::NoSpace:
        return InstallMessage::NoSpace;
    case InstallResult::TargetExists:
        return InstallMessage::Exists;
    case InstallResult::Failed:
        break;
    }
    return InstallMessage::Failed;
}

InstallResult installPackage(const InstallRequest& request,
    const std::function<void(qint64 chunk)>& reportProgress, const InstallOptions& options)
{
    if (!isPackageDirectory(request.pathKavo))
        return InstallResult::Failed;
    FileDescriptor source(::open(QFile::encodeName(request.sourcePath).constData(), O_RDONLY | O_CLOEXEC));
    struct stat sourceInfo;
    if (!source.isValid() || ::fstat(source.get(), &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode))
        return InstallResult::Failed;
    const qint64 size = sourceInfo.st_size;
    const InstallProgress phases(size, options.readBack, reportProgress);
    const std::function<void(qint64)> progress = [&phases](qint64 chunk) { phases.copied(chunk); };

    const std::optional<VolumeSpace> space = options.volumeSpace(request.pathKavo);
    if (!space)
        return InstallResult::Failed;
    if (!fitsOnVolume(size, *space))
        return InstallResult::NoSpace;

    const QDir directory(request.pathKavo);
    QString temporaryPath;
    FileDescriptor target = createTemporary(directory, temporaryPath);
    if (!target.isValid())
        return InstallResult::Failed;
    const auto fail = [&](InstallResult result) {
        target.reset();
        removeFile(temporaryPath);
        return result;
    };

    ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const qint64 block = std::max<qint64>(options.blockSize, ProgressChunk);
    bool kernelCopy = options.kernelCopy;
    std::vector<char> buffer;
    Writeback writeback(target.get(), options.writebackWindow);
    qint64 done = 0;
    qint64 shown = -1;
    for (;;) {
        const qint64 moved = copyBlock(source.get(), target.get(), block, kernelCopy, buffer);
        if (moved < 0)
            return fail(InstallResult::Failed);
        if (moved == 0)
            break;
        if (!writeback.written(done, moved))
            return fail(InstallResult::Failed);
        done += moved;
        // Chunk k is done once its 1024 bytes are; the final value comes after the loop.
        const qint64 chunk = std::min(done / ProgressChunk, chunkCount(size)) - 1;
        if (progress && chunk > shown && chunk >= 0) {
            shown = chunk;
            progress(chunk);
        }
    }
    // A source that changed while it was being read would give a package the pen cannot play.
    if (done != size)
        return fail(InstallResult::Failed);
    if (progress && shown != chunkCount(size))
        progress(chunkCount(size));

    // The header operations open the temporary copy by path; they are the only code that
    // knows the header bytes. The start sticker key of a "unb" package is copied unchanged, so
    // the copy's own key bytes are the source's.
    const QString& path = temporaryPath;
    if (!setSmartBookInfo(path, request.bookOid.toInt(), request.nTypeBook, options.random))
        return fail(InstallResult::Failed);
    if (request.extBook == ExtSelfMade) {
        const bool written = request.nTypeBook == 2 ? WriteOffsetOidUnb(path, request.offsetOid)
                                                    : WriteOffsetOid(path, request.offsetOid);
        if (!written)
            return fail(InstallResult::Failed);
    }
    if (!syncFile(target.get()) || !target.reset())
        return fail(InstallResult::Failed);
    if (options.readBack && !copyReadsBack(temporaryPath, source.get(), size, request, phases, options))
        return fail(InstallResult::Failed);

    const QString finalPath = directory.filePath(packageFileName(request.bookOid, request.extBook));
    switch (renameNoReplace(temporaryPath, finalPath)) {
    case RenameResult::Done:
        break;
    case RenameResult::TargetExists:
        return fail(InstallResult::TargetExists);
    case RenameResult::Failed:
        return fail(InstallResult::Failed);
    }
    if (!syncPackageDirectory(request.pathKavo)) {
        // The entry may not be on the device; do not leave a package the user was told failed.
        removeFile(finalPath);
        return InstallResult::Failed;
    }
    return InstallResult::Installed;
}
