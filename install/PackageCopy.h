#pragma once

#include "BookHeader.h"
#include "NumberProposal.h"
#include "PackageSpace.h"

#include <QString>

#include <functional>
#include <optional>

// The progress scale of the dialog: a package of `size` bytes is n + 1 chunks of 1024 bytes
// (the last may be empty), n = size / 1024. The value after chunk k is k, so a finished copy
// shows n on a bar whose maximum is n + 1.
constexpr qint64 ProgressChunk = 1024;
inline qint64 chunkCount(qint64 size) { return size / ProgressChunk; }

// statvfs of the directory; nothing when it cannot be asked (pen gone).
std::optional<VolumeSpace> queryVolumeSpace(const QString& directory);

struct InstallRequest {
    QString sourcePath;
    QString pathKavo; // package directory on the pen
    QString bookOid; // three digits, already checked
    int offsetOid = 0; // start sticker number, 0..9999, already checked
    QString extBook; // ".dar", ".das" or ".dsr"
    int nTypeBook = 0;
    // Copies the package as it is, header included, under bookOid + extBook: a package taken
    // from a pen or a backup already carries the fields an install writes (and a renumbered
    // package keeps its book code, as a sticker change leaves it). Nothing is written into
    // the copy, and the read-back compares every byte.
    bool keepHeader = false;
};

enum class InstallResult {
    Installed,
    NoSpace,
    TargetExists,
    TooShort, // the source cannot hold the header fields the install writes
    Failed,
    LeftBehind, // failed, and a file under the package name could not be removed
    Cancelled, // stopped by the user before the package got its name; nothing is left
};

struct InstallOptions {
    // Bytes moved per system call; the progress bar still counts 1024-byte chunks.
    qint64 blockSize = 1024 * 1024;
    // In-kernel copy (sendfile) where the kernel offers it, else read/write through a buffer.
    bool kernelCopy = true;
    // Written data allowed to wait in the page cache before the copy waits for the device.
    // Keeps the progress bar honest on a slow pen and the final flush short; 0 turns it off.
    qint64 writebackWindow = 16 * 1024 * 1024;
    RandomBelow random = systemRandom();
    std::function<std::optional<VolumeSpace>(const QString&)> volumeSpace = queryVolumeSpace;
    // Read the flushed copy back from the pen and compare it before it gets its name.
    bool readBack = true;
    // Asked between blocks and before the package gets its name: a long copy can be stopped.
    std::function<bool()> cancelled;
    // Test seam: runs on the flushed copy just before it is read back.
    std::function<void(const QString& copyPath)> beforeReadBack;
};

// Copies the package into a locked temporary file in the package directory (made when the pen
// lacks it), writes its header fields through the copy's descriptor, flushes it to the device
// and only then gives it its package name, never replacing an existing entry; the renamed file
// and the folder are flushed once more before it counts as installed. Temporary copies left by
// interrupted installs are removed first. On any failure the temporary file is removed and
// nothing new is left under a package name. `progress` gets chunk numbers (see chunkCount); it
// runs on the calling thread.
InstallResult installPackage(const InstallRequest& request, const std::function<void(qint64 chunk)>& progress,
    const InstallOptions& options = {});
