#include "StickerChange.h"

#include "BookHeader.h"
#include "FileSync.h"
#include "PackageFolder.h"
#include "PathInside.h"
#include "PenFile.h"
#include "StickerNumber.h"

#include <QDir>

#include <unistd.h>

namespace {

bool writeStartSticker(StartStickerField field, int fd, qint32 value)
{
    switch (field) {
    case StartStickerField::None:
        return true;
    case StartStickerField::Plain:
        return WriteOffsetOid(fd, value);
    case StartStickerField::Masked:
        return WriteOffsetOidUnb(fd, value);
    }
    return false;
}

// The package's path below the folder; empty when it does not lie inside.
QString relativeInside(const PackageFolder& folder, const QString& file)
{
    return relativePathInside(folder.path(), file);
}

// The package, opened safely for what the change will do to it; refused when it is no regular
// file or too short for the field that is to be written.
PenFile openPackage(const PackageFolder& folder, const QString& relative, StartStickerField field)
{
    PenFile file = PenFile::openAt(
        folder.fd(), relative, field == StartStickerField::None ? PenAccess::Read : PenAccess::ReadWrite);
    if (file.isOpen() && field != StartStickerField::None
        && file.size() < startStickerEnd(field == StartStickerField::Masked))
        return {};
    return file;
}

} // namespace

StickerChangeResult applyStickerChange(const StickerChangeRequest& request)
{
    const StickerCheck check = checkStickerTexts(request.bookOid, request.offsetOid);
    if (check != StickerCheck::Valid)
        return { StickerChangeOutcome::Invalid, false, check };
    const qint32 start = request.offsetOid.toInt();
    const StartStickerField field = startStickerFieldOf(request.flag, request.type);

    if (request.bookOid == request.currentBookOid) {
        if (field == StartStickerField::None)
            return {};
        const PackageFolder folder = PackageFolder::open(request.pathKavo);
        const QString relative = relativeInside(folder, request.file);
        PenFile file = relative.isEmpty() ? PenFile() : openPackage(folder, relative, field);
        if (!file.isOpen() || !writeStartSticker(field, file.fd(), start) || !syncFile(file.fd())
            || !file.close())
            return { StickerChangeOutcome::Failed, false };
        return {};
    }

    if (request.flag == FlagShared)
        return { StickerChangeOutcome::Shared, false };
    const PackageKind* kind = packageKindOfFlag(request.flag);
    if (!kind)
        return {};

    // No package directory (the pen's volume is not mounted), or one that is not a real folder
    // on the pen: nothing to rename into.
    const PackageFolder folder = PackageFolder::open(request.pathKavo);
    if (!folder.isOpen())
        return { StickerChangeOutcome::Failed, true };
    const QString targetName = request.bookOid + kind->extension;
    if (folder.isTaken(targetName))
        return { StickerChangeOutcome::Exists, false };

    const QString relative = relativeInside(folder, request.file);
    if (relative.isEmpty())
        return { StickerChangeOutcome::Failed, true };
    PenFile package = openPackage(folder, relative, field);
    if (!package.isOpen())
        return { StickerChangeOutcome::Failed, true };
    // A package in a subfolder moves up into the package folder.
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString oldName = relative.mid(slash + 1);
    FileDescriptor subfolder;
    if (slash >= 0) {
        subfolder = FileDescriptor(openDirectoryBeneath(folder.fd(), relative.left(slash)));
        if (!subfolder.isValid())
            return { StickerChangeOutcome::Failed, true };
    }
    const int oldFolder = slash >= 0 ? subfolder.get() : folder.fd();

    const RenameResult renamed = renameNoReplaceAt(oldFolder, oldName, folder.fd(), targetName);
    switch (renamed) {
    case RenameResult::Done:
    case RenameResult::BothNames:
        break;
    case RenameResult::TargetExists:
        // FAT matches names without regard to case: the file system knew better than the check.
        return { StickerChangeOutcome::Exists, true };
    case RenameResult::Unsupported:
    case RenameResult::Failed:
        return { StickerChangeOutcome::Failed, true };
    }

    if (!writeStartSticker(field, package.fd(), start)) {
        // Checked above, so only the device can fail here: put the package back as it was.
        if (renamed == RenameResult::Done)
            renameNoReplaceAt(folder.fd(), targetName, oldFolder, oldName);
        syncDirectory(folder.fd());
        return { StickerChangeOutcome::Failed, true };
    }
    // On FAT the new name reaches the medium with the file's size and first cluster only when
    // the file itself is written back: flush it under its new name, then the folders.
    bool durable = syncFile(package.fd());
    durable = syncDirectory(folder.fd()) && durable;
    if (slash >= 0)
        durable = syncDirectory(oldFolder) && durable;
    durable = package.close() && durable;
    if (!durable)
        return { StickerChangeOutcome::Failed, true };
    if (renamed == RenameResult::BothNames)
        return { StickerChangeOutcome::OldNameKept, true };
    return { StickerChangeOutcome::Done, true };
}
