#include "StickerChange.h"

#include "BookHeader.h"
#include "FileSync.h"
#include "StickerNumber.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString extensionForFlag(const QString& flag)
{
    if (flag == QLatin1String("D"))
        return ExtSelfMade;
    if (flag == QLatin1String("S"))
        return ExtSmart;
    if (flag == QLatin1String("O"))
        return ExtStory;
    if (flag == QLatin1String("C"))
        return ExtStudyAid;
    return {};
}

// Only self-made packages keep a start sticker; "unb" ones keep it masked.
bool writeStartSticker(const QString& flag, const QString& type, const QString& path, qint32 value)
{
    if (flag != QLatin1String("D"))
        return true;
    if (type == QLatin1String("dab"))
        return WriteOffsetOid(path, value);
    if (type == QLatin1String("unb"))
        return WriteOffsetOidUnb(path, value);
    return true;
}

bool entryExists(const QString& path)
{
    // A dangling symbolic link still takes the name.
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

} // namespace

StickerChangeResult applyStickerChange(const StickerChangeRequest& request)
{
    const QString invalid = checkStickerTexts(request.bookOid, request.offsetOid);
    if (!invalid.isEmpty())
        return { invalid, false };
    const qint32 start = request.offsetOid.toInt();

    if (request.bookOid == request.currentBookOid) {
        if (!writeStartSticker(request.flag, request.type, request.file, start))
            return { StickerChangeMessage::Failed, false };
        return {};
    }

    if (request.flag == QLatin1String("E"))
        return { StickerChangeMessage::Shared, false };
    const QString extension = extensionForFlag(request.flag);
    if (extension.isEmpty())
        return {};
    // No package directory (the pen's volume is not mounted): nothing to rename into.
    if (request.pathKavo.isEmpty())
        return { StickerChangeMessage::Failed, true };

    const QString target = QDir(request.pathKavo).filePath(request.bookOid + extension);
    if (entryExists(target))
        return { StickerChangeMessage::Exists, false };

    switch (renameNoReplace(request.file, target)) {
    case RenameResult::Done:
        break;
    case RenameResult::TargetExists:
        // FAT matches names without regard to case: the file system knew better than the check.
        return { StickerChangeMessage::Exists, true };
    case RenameResult::Failed:
        return { StickerChangeMessage::Failed, true };
    }
    bool durable = syncDirectory(request.pathKavo);
    const QString oldDirectory = QFileInfo(request.file).absolutePath();
    if (QDir(oldDirectory) != QDir(request.pathKavo))
        durable = syncDirectory(oldDirectory) && durable;
    durable = writeStartSticker(request.flag, request.type, target, start) && durable;
    return { durable ? QString() : StickerChangeMessage::Failed, true };
}
