#pragma once

#include "PackageCopy.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace BackupMessage {
inline const QString OtherPen = QStringLiteral("该文件夹里是另一支点读笔的备份，请选择其他文件夹！");
inline const QString NotBackup = QStringLiteral("该文件夹不是空的，也不是点读笔的备份，请选择一个空文件夹！");
inline const QString BadManifest = QStringLiteral("无法读取该文件夹里的备份清单！");
inline const QString NoPen = QStringLiteral("无法读取点读笔上的 USER/CUSTOM 文件夹！");
inline const QString NoSpace = QStringLiteral("电脑上的空间不足，无法备份！");
inline const QString PenGone = QStringLiteral("点读笔已断开，备份没有完成；已备份的文件都是完整的。");
inline const QString Failed = QStringLiteral("备份时出错，请检查点读笔和备份文件夹后重试！");
}

// Progress of a backup, restore or copy: bytes done of all bytes to copy, and the file at work.
using TransferProgress = std::function<void(qint64 done, qint64 total, const QString& name)>;

// Whether files of these sizes fit together, each as fitsOnVolume counts it.
bool allFitOnVolume(const QList<qint64>& sizes, const VolumeSpace& space);

struct BackupOptions {
    // The copy engine's settings: the backup goes through the install's copy (temporary name,
    // flush, read back from the disk and compared with the pen, then the name).
    InstallOptions install;
    TransferProgress progress;
    // Asked between files; a file in progress is finished first.
    std::function<bool()> cancelled;
};

struct BackupReport {
    QString message; // what went wrong; empty when the backup ran to its end or was cancelled
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
