#include "PackageCopy.h"

#include "AsciiCase.h"
#include "CopyVerify.h"
#include "FileSync.h"
#include "HeldRemoval.h"
#include "Log.h"
#include "PackageFolder.h"
#include "PenFile.h"
#include "TemporaryCopy.h"
#include "VolumeSpace.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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

// Removes a file this install made; a failure is said on the diagnostic stream, and a
// temporary copy is removed by the next scan or install (nobody holds its lock any more).
bool removeOwnFile(int directoryFd, const QString& name)
{
    if (unlinkAt(directoryFd, QFile::encodeName(name).constData()) == 0)
        return true;
    logErr(
        "Could not remove %s from the pen: %s\n", QFile::encodeName(name).constData(), std::strerror(errno));
    return false;
}

// Removes a file this install wrote, while still holding it open. FAT frees a file's clusters
// when the last holder lets go, and freed clusters may reach the medium before the folder
// without the name does: a pen pulled then keeps the name over free clusters, which a later
// copy may take and a later removal would free again. Held until the folder is flushed, the
// name is gone from the device first. Whether the removal is on the device is returned.
bool removeHeldFile(const PackageFolder& folder, FileDescriptor& file, const QString& name)
{
    if (!removeOwnFile(folder.fd(), name)) {
        file.reset();
        return false;
    }
    HeldRemoval removal(folder.fd());
    removal.hold(std::move(file));
    // Left unwritten, the freed clusters would be lost to the pen, not harmful.
    return removal.finish().names;
}

} // namespace

std::optional<VolumeSpace> queryVolumeSpace(const QString& directory)
{
    const std::optional<VolumeUsage> usage = queryVolumeUsage(directory);
    if (!usage)
        return std::nullopt;
    return VolumeSpace { usage->available, usage->cluster };
}

InstallResult installPackage(const InstallRequest& request,
    const std::function<void(qint64 chunk)>& reportProgress, const InstallOptions& options)
{
    const PackageFolder folder = PackageFolder::open(request.pathKavo, PackageFolder::Create::Missing);
    if (!folder.isOpen())
        return InstallResult::Failed;
    // Leftovers of interrupted installs would take the space this one needs.
    removeStaleTemporaries(folder);

    // Checked before anything is read: a FIFO would block, a device would be read forever.
    const PenFile source = PenFile::open(request.sourcePath, PenAccess::Read, PenLinks::Follow);
    if (!source.isOpen())
        return InstallResult::Failed;
    const qint64 size = source.size();
    // A header write never lengthens a file: a package too short for its fields is refused.
    if (!request.keepHeader && size < installedHeaderEnd(request.extBook, request.nTypeBook))
        return InstallResult::TooShort;
    const InstallProgress phases(size, options.readBack, reportProgress);
    const std::function<void(qint64)> progress = [&phases](qint64 chunk) { phases.copied(chunk); };

    const std::optional<VolumeSpace> space = options.volumeSpace(request.pathKavo);
    if (!space)
        return InstallResult::Failed;
    if (!fitsOnVolume(size, *space))
        return InstallResult::NoSpace;

    TemporaryCopy temporary = createTemporaryCopy(folder);
    FileDescriptor& target = temporary.fd;
    if (!target.isValid())
        return InstallResult::Failed;
    const auto fail = [&](InstallResult result) {
        removeHeldFile(folder, target, temporary.name);
        return result;
    };

    ::posix_fadvise(source.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const qint64 block = std::max<qint64>(options.blockSize, ProgressChunk);
    bool kernelCopy = options.kernelCopy;
    std::vector<char> buffer;
    Writeback writeback(target.get(), options.writebackWindow);
    qint64 done = 0;
    qint64 shown = -1;
    const auto cancelled = [&options] { return options.cancelled && options.cancelled(); };
    for (;;) {
        if (cancelled())
            return fail(InstallResult::Cancelled);
        const qint64 moved = copyBlock(source.fd(), target.get(), block, kernelCopy, buffer);
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

    // The header fields go through the copy's own descriptor. The start sticker key of a "unb"
    // package is copied unchanged, so the copy's own key bytes are the source's.
    if (!request.keepHeader
        && !setSmartBookInfo(target.get(), request.bookOid.toInt(), request.nTypeBook, options.random))
        return fail(InstallResult::Failed);
    if (!request.keepHeader && keepsStartSticker(request.extBook)) {
        const bool written = request.nTypeBook == 2 ? WriteOffsetOidUnb(target.get(), request.offsetOid)
                                                    : WriteOffsetOid(target.get(), request.offsetOid);
        if (!written)
            return fail(InstallResult::Failed);
    }
    // Every byte is on the device before the package name can point at it, and before the
    // read-back reads it from there. The data is written once either way, so this flush costs
    // little more than the one after the rename.
    if (!syncFile(target.get()))
        return fail(InstallResult::Failed);
    if (options.readBack
        && !copyReadsBack(folder.path() + temporary.name, source.fd(), size, request, phases, options))
        return fail(InstallResult::Failed);

    if (cancelled())
        return fail(InstallResult::Cancelled);
    const QString finalName = packageFileName(request.bookOid, request.extBook);
    switch (renameNoReplaceAt(folder.fd(), temporary.name, folder.fd(), finalName)) {
    case RenameResult::Done:
    case RenameResult::BothNames: // the package is under its name; the scan removes the other
        break;
    case RenameResult::TargetExists:
        return fail(InstallResult::TargetExists);
    case RenameResult::Unsupported:
    case RenameResult::Failed:
        return fail(InstallResult::Failed);
    }
    // On FAT a rename writes the new entry with size 0 and no first cluster; the real ones
    // reach the medium only when the renamed file itself is written back. So: the file under
    // its new name, then the folder.
    if (syncFile(target.get()) && folder.sync() && target.reset())
        return InstallResult::Installed;
    // The entry may not be on the device; do not leave a package the user was told failed.
    if (!removeHeldFile(folder, target, finalName))
        return InstallResult::LeftBehind;
    return InstallResult::Failed;
}
