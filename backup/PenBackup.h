#pragma once

#include "PackageCopy.h"

#include <QString>
#include <QStringList>

#include <functional>

// What stopped a backup, or made it incomplete.
enum class BackupProblem {
    None,
    OtherPen, // the folder holds another pen's backup
    NotBackup, // the folder holds other files
    BadManifest,
    NoPen, // the pen's package folder cannot be read
    NoSpace,
    PenGone,
    Failed,
};

// Progress of a backup, restore or copy: bytes done of all bytes to copy, and the file at work.
using TransferProgress = std::function<void(qint64 done, qint64 total, const QString& name)>;

struct BackupOptions {
    // The copy engine's settings: the backup goes through the install's copy (temporary name,
    // flush, read back from the disk and compared with the pen, then the name).
    InstallOptions install;
    TransferProgress progress;
    // Asked between files; a file in progress is finished first.
    std::function<bool()> cancelled;
};

struct BackupReport {
    BackupProblem problem = BackupProblem::None; // None when it ran to its end or was cancelled
    bool incremental = false; // the folder held a backup of this pen: only what changed was copied
    bool cancelled = false;
    QStringList copied; // installed names copied now
    QStringList unchanged; // already in the folder, the same as on the pen
    QStringList notCopied; // entries that are no package file (links, folders) or lie in a subfolder
    QStringList failed;
};

// Backs up the packages of a pen's package directory into `folder`, byte for byte under their
// installed names, and writes the manifest. Nothing on the pen is written. The folder must be
// empty (apart from what a backup of this pen put there) or hold a backup of the pen with this
// serial; then only files that are missing or differ are copied. A file is copied into a
// staging folder inside `folder` and moved over the old one only once it is complete and
// checked, so the folder only ever holds complete files. Files of the folder that are no longer
// on the pen stay, with their manifest entries.
BackupReport backupPen(
    const QString& pathKavo, const QString& serial, const QString& folder, const BackupOptions& options = {});
