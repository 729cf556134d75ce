#include "PenBackup.h"

#include "BackupManifest.h"
#include "Catalogue.h"
#include "FileSync.h"
#include "PackageFolder.h"
#include "PenFile.h"
#include "TemporaryCopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Holds the copies on their way into the backup folder; removed when the backup ends.
const QString StagingName = QStringLiteral(".penshelf-staging");

struct PenPackage {
    QString name;
    QString title;
    qint64 size = 0;
    QString sha256;
};

QString hashOfPath(const QString& path)
{
    const PenFile file = PenFile::open(path);
    return file.isOpen() ? sha256OfFile(file.fd()) : QString();
}

// Whether the folder holds nothing but what a backup writes.
bool onlyBackupFiles(const QString& folder)
{
    const QDir dir(folder);
    for (const QString& name :
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        if (name != StagingName && !isTemporaryCopyName(name))
            return false;
    return true;
}

void removeStaging(const QString& staging)
{
    const PackageFolder folder = PackageFolder::open(staging);
    if (folder.isOpen())
        removeStaleTemporaries(folder);
    QDir().rmdir(staging);
}

}

BackupReport backupPen(
    const QString& pathKavo, const QString& serial, const QString& folder, const BackupOptions& options)
{
    BackupReport report;
    QString manifestError;
    std::optional<BackupManifest> old = BackupManifest::read(folder, &manifestError);
    if (!manifestError.isEmpty()) {
        report.problem = BackupProblem::BadManifest;
        return report;
    }
    if (old && old->serial != serial) {
        report.problem = BackupProblem::OtherPen;
        return report;
    }
    // Files of the same names that no backup of this pen wrote are not replaced.
    if (!old && !onlyBackupFiles(folder)) {
        report.problem = BackupProblem::NotBackup;
        return report;
    }
    report.incremental = old.has_value();

    const PackageFolder pen = PackageFolder::open(pathKavo);
    if (!pen.isOpen()) {
        report.problem = BackupProblem::NoPen;
        return report;
    }
    // The rows the book table shows; each is opened again here, as a regular file only.
    QList<PenPackage> packages;
    QList<PenPackage> toCopy;
    qint64 total = 0;
    for (const ListData& row : ScanCatalogue(pathKavo)) {
        const QString name = row.file.mid(pathKavo.size());
        if (name.contains(QLatin1Char('/'))) {
            report.notCopied.append(name);
            continue;
        }
        const PenFile file = PenFile::openAt(pen.fd(), name);
        if (!file.isOpen()) {
            report.notCopied.append(name);
            continue;
        }
        PenPackage package { name, ReadBookName(file.fd()), file.size(), sha256OfFile(file.fd()) };
        if (package.sha256.isEmpty()) {
            report.failed.append(name);
            continue;
        }
        const BackupEntry* entry = old ? old->find(name) : nullptr;
        const QString kept = QDir(folder).filePath(name);
        if (entry && entry->sha256 == package.sha256 && QFileInfo(kept).size() == package.size
            && hashOfPath(kept) == package.sha256) {
            report.unchanged.append(name);
            packages.append(package);
            continue;
        }
        toCopy.append(package);
        total += package.size;
    }

    const QString staging = QDir(folder).filePath(StagingName);
    if (!toCopy.isEmpty()) {
        // The whole set, as the copies will take it, before anything is written.
        const std::optional<VolumeSpace> space = options.install.volumeSpace(folder);
        QList<qint64> sizes;
        for (const PenPackage& package : toCopy)
            sizes.append(package.size);
        if (!space || !allFitOnVolume(sizes, *space)) {
            report.problem = space ? BackupProblem::NoSpace : BackupProblem::Failed;
            return report;
        }
        QDir().mkpath(staging);
    }

    qint64 done = 0;
    for (const PenPackage& package : toCopy) {
        if (options.cancelled && options.cancelled()) {
            report.cancelled = true;
            break;
        }
        const qint64 before = done;
        const auto progress = [&](qint64 chunk) {
            if (options.progress)
                options.progress(before + std::min(chunk * ProgressChunk, package.size), total, package.name);
        };
        // The staging folder may hold a copy of an earlier, interrupted run.
        QFile::remove(QDir(staging).filePath(package.name));
        InstallRequest request;
        request.sourcePath = pathKavo + package.name;
        request.pathKavo = staging + QLatin1Char('/');
        request.bookOid = package.name.left(3);
        request.extBook = package.name.mid(3);
        request.keepHeader = true;
        // The backup copy is read back from the computer's disk and compared with the pen.
        const InstallResult result = installPackage(request, progress, options.install);
        const QString staged = QDir(staging).filePath(package.name);
        // The copy is what the pen held when it was hashed, or the pen changed under it.
        const bool same = result == InstallResult::Installed && hashOfPath(staged) == package.sha256;
        // A plain rename, which replaces: the file of this name in the folder is this pen's older
        // copy of the package (an incremental run copies what differs) or one a run cut short
        // left before its manifest; a folder that holds files of other origin was refused above.
        const QByteArray from = QFile::encodeName(staged);
        const QByteArray to = QFile::encodeName(QDir(folder).filePath(package.name));
        if (same && ::rename(from.constData(), to.constData()) == 0 && syncDirectory(folder)) {
            report.copied.append(package.name);
            packages.append(package);
            done += package.size;
            continue;
        }
        QFile::remove(staged);
        report.failed.append(package.name);
        if (!PackageFolder::isReadable(pathKavo)) {
            report.problem = BackupProblem::PenGone;
            break;
        }
    }
    if (QFileInfo::exists(staging))
        removeStaging(staging);

    // The manifest lists what the folder holds complete: this run's files, and those of earlier
    // runs that are no longer on the pen or were not copied again.
    BackupManifest manifest;
    manifest.serial = serial;
    manifest.date = QDateTime::currentDateTimeUtc();
    for (const PenPackage& package : packages)
        manifest.files.append({ package.name, package.title, package.size, package.sha256 });
    if (old) {
        for (const BackupEntry& entry : old->files)
            if (!manifest.find(entry.name)
                && QFileInfo(QDir(folder).filePath(entry.name)).size() == entry.size)
                manifest.files.append(entry);
    }
    if (!manifest.write(folder) && report.problem == BackupProblem::None)
        report.problem = BackupProblem::Failed;
    if (report.problem == BackupProblem::None && !report.failed.isEmpty())
        report.problem = BackupProblem::Failed;
    return report;
}
