#include "PenTransfer.h"

#include "BackupManifest.h"
#include "Catalogue.h"
#include "Log.h"
#include "PackageFolder.h"
#include "PackageKind.h"
#include "PenFile.h"

#include <QDir>
#include <QSet>

#include <bitset>

namespace {

// A shared package names its target by number. When the target is in the same set but goes
// under another number, or not at all, the shared package would name another package of the
// pen, or none: it is left out.
const PlannedItem* sharedTargetMoved(const PlannedItem& entry, const QList<PlannedItem>& plan)
{
    if (!isSharedTitle(entry.item.title))
        return nullptr;
    const QString target = sharedTargetOid(entry.item.title) + entry.item.name.mid(3).toLower();
    for (const PlannedItem& other : plan)
        if (&other != &entry && other.item.name.compare(target, Qt::CaseInsensitive) == 0)
            return other.choice == PlannedItem::Choice::OwnName ? nullptr : &other;
    return nullptr;
}

bool defaultPenPresent(const QString& pathKavo)
{
    return PackageFolder::isReadable(pathKavo) && queryVolumeSpace(pathKavo).has_value();
}

}

QString PlannedItem::targetName() const
{
    switch (choice) {
    case Choice::OwnName:
        return item.name;
    case Choice::NextFree:
        return nextFreeName;
    case Choice::Skip:
        break;
    }
    return {};
}

QList<TransferItem> itemsFromBackup(const QString& folder, BackupListing* listing)
{
    QString error;
    const std::optional<BackupManifest> manifest = BackupManifest::read(folder, &error);
    QList<TransferItem> items;
    if (manifest) {
        for (const BackupEntry& entry : manifest->files)
            items.append(
                { QDir(folder).filePath(entry.name), entry.name, entry.title, entry.size, entry.sha256 });
    }
    if (listing) {
        *listing = !manifest  ? (error.isEmpty() ? BackupListing::NoManifest : BackupListing::Unreadable)
            : items.isEmpty() ? BackupListing::Empty
                              : BackupListing::Ok;
    }
    return items;
}

QList<TransferItem> itemsFromRows(const BookList& rows, const QString& pathKavo, QStringList* refused)
{
    const PackageFolder folder = PackageFolder::open(pathKavo);
    QList<TransferItem> items;
    for (const ListData& row : rows) {
        const QString name = row.file.startsWith(pathKavo) ? row.file.mid(pathKavo.size()) : row.file;
        const PenFile file = name.contains(QLatin1Char('/')) || !folder.isOpen()
            ? PenFile()
            : PenFile::openAt(folder.fd(), name);
        if (!file.isOpen()) {
            if (refused)
                refused->append(name);
            continue;
        }
        items.append({ pathKavo + name, name, ReadBookName(file.fd()), file.size(), {} });
    }
    return items;
}

QList<PlannedItem> planTransfer(const QList<TransferItem>& items, const QString& pathKavo)
{
    const PackageFolder folder = PackageFolder::open(pathKavo);
    // Names this plan gives, lower-cased: two packages of one set never get the same one.
    QSet<QString> planned;
    QList<PlannedItem> plan;
    for (const TransferItem& item : items) {
        PlannedItem entry;
        entry.item = item;
        entry.ownNameTaken = folder.isTaken(item.name) || planned.contains(item.name.toLower());
        if (entry.ownNameTaken)
            entry.choice = PlannedItem::Choice::Skip;
        else
            planned.insert(item.name.toLower());
        plan.append(entry);
    }
    // Proposals after every own name is counted, so that none takes a name a later package of
    // the set keeps.
    for (PlannedItem& entry : plan) {
        const QString extension = entry.item.name.mid(3).toLower();
        if (!entry.ownNameTaken || isSharedTitle(entry.item.title) || !packageKindOfExtension(extension))
            continue;
        std::bitset<1000> taken = takenBookOids(pathKavo, extension);
        for (const QString& name : planned)
            if (name.size() == 7 && name.endsWith(extension) && name.left(3).toInt() > 0)
                taken.set(size_t(name.left(3).toInt()));
        for (int oid = FirstProposedOid; oid <= LastProposedOid; ++oid) {
            if (!taken.test(size_t(oid))) {
                entry.nextFreeName
                    = packageFileName(QStringLiteral("%1").arg(oid, 3, 10, QLatin1Char('0')), extension);
                planned.insert(entry.nextFreeName);
                break;
            }
        }
    }
    return plan;
}

TransferReport runTransfer(
    const QList<PlannedItem>& plan, const QString& pathKavo, const TransferOptions& options)
{
    TransferReport report;
    QList<const PlannedItem*> chosen;
    QList<qint64> sizes;
    qint64 total = 0;
    for (const PlannedItem& entry : plan) {
        if (entry.targetName().isEmpty()) {
            report.skipped.append({ entry.item.name, {} });
            continue;
        }
        if (const PlannedItem* target = sharedTargetMoved(entry, plan)) {
            report.skipped.append({ entry.item.name, target->item.name });
            continue;
        }
        chosen.append(&entry);
        sizes.append(entry.item.size);
        total += entry.item.size;
    }
    if (chosen.isEmpty())
        return report;

    const PackageFolder folder = PackageFolder::open(pathKavo, PackageFolder::Create::Missing);
    const std::optional<VolumeSpace> space
        = folder.isOpen() ? options.install.volumeSpace(pathKavo) : std::nullopt;
    if (!space) {
        report.problem = TransferProblem::NoPen;
        return report;
    }
    if (!allFitOnVolume(sizes, *space)) {
        report.problem = TransferProblem::NoSpace;
        return report;
    }
    const auto penPresent = options.penPresent ? options.penPresent : defaultPenPresent;

    qint64 done = 0;
    for (qsizetype i = 0; i < chosen.size(); ++i) {
        const PlannedItem& entry = *chosen[i];
        const QString target = entry.targetName();
        if (options.cancelled && options.cancelled()) {
            report.cancelled = true;
            for (qsizetype j = i; j < chosen.size(); ++j)
                report.skipped.append({ chosen[j]->item.name, {} });
            break;
        }
        // A backup file must still be what was backed up.
        if (!entry.item.sha256.isEmpty()) {
            const PenFile source = PenFile::open(entry.item.sourcePath, PenAccess::Read, PenLinks::Follow);
            if (!source.isOpen() || source.size() != entry.item.size
                || sha256OfFile(source.fd()) != entry.item.sha256) {
                logErr(
                    "restore: %s does not match the backup's manifest\n", qPrintable(entry.item.sourcePath));
                report.failed.append(entry.item.name);
                continue;
            }
        }
        const qint64 before = done;
        const auto progress = [&](qint64 chunk) {
            if (options.progress)
                options.progress(
                    before + std::min(chunk * ProgressChunk, entry.item.size), total, entry.item.name);
        };
        InstallRequest request;
        request.sourcePath = entry.item.sourcePath;
        request.pathKavo = pathKavo;
        request.bookOid = target.left(3);
        request.extBook = target.mid(3);
        request.keepHeader = true;
        const InstallResult result = installPackage(request, progress, options.install);
        done += entry.item.size;
        if (result == InstallResult::Installed) {
            report.restored.append({ entry.item.name, target });
            continue;
        }
        report.failed.append(entry.item.name);
        if (result == InstallResult::LeftBehind) {
            report.problem = TransferProblem::LeftBehind;
        } else if (!penPresent(pathKavo)) {
            report.problem = TransferProblem::PenGone;
        } else {
            continue;
        }
        for (qsizetype j = i + 1; j < chosen.size(); ++j)
            report.failed.append(chosen[j]->item.name);
        break;
    }
    if (report.problem == TransferProblem::None && !report.failed.isEmpty())
        report.problem = TransferProblem::Failed;
    return report;
}
