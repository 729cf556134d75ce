#include "PackageKind.h"

#include "AsciiCase.h"

#include <algorithm>
#include <span>

namespace {

std::span<const PackageKind> kinds()
{
    static const PackageKind table[] = {
        { ExtSelfMade, QStringLiteral("D"), QStringLiteral("dab"), QStringLiteral("自制-"), true },
        { ExtSmart, QStringLiteral("S"), QStringLiteral("dab"), QStringLiteral("智能-"), false },
        { ExtStory, QStringLiteral("O"), QStringLiteral("dsb"), QStringLiteral("故事-"), false },
        { ExtStudyAid, QStringLiteral("C"), QStringLiteral("dcb"), QStringLiteral("教辅-"), false },
    };
    return table;
}

constexpr QLatin1String SharedTitleTag("ATT");

}

const PackageKind* packageKindOfLetters(QStringView letters)
{
    // No character but an ASCII letter lowercases to a letter of these extensions, so FAT's rule
    // and Unicode's agree here.
    const auto same = [](QChar c, QChar letter) { return asciiLower(c.unicode()) == letter.unicode(); };
    if (letters.size() != 3)
        return nullptr;
    for (const PackageKind& kind : kinds()) {
        if (same(letters[0], kind.extension[1]) && same(letters[1], kind.extension[2])
            && same(letters[2], kind.extension[3]))
            return &kind;
    }
    return nullptr;
}

const PackageKind* packageKindOfExtension(QStringView extension)
{
    if (extension.size() != 4 || extension[0] != QLatin1Char('.'))
        return nullptr;
    return packageKindOfLetters(extension.mid(1));
}

const PackageKind* packageKindOfFlag(QStringView flag)
{
    for (const PackageKind& kind : kinds()) {
        if (kind.flag == flag)
            return &kind;
    }
    return nullptr;
}

bool keepsStartSticker(const QString& extension)
{
    return std::ranges::any_of(
        kinds(), [&](const PackageKind& kind) { return kind.startSticker && kind.extension == extension; });
}

StartStickerField startStickerFieldOf(const QString& flag, const QString& type)
{
    const PackageKind* kind = packageKindOfFlag(flag);
    if (!kind || !kind->startSticker)
        return StartStickerField::None;
    if (type == kind->type)
        return StartStickerField::Plain;
    if (type == TypeUnb)
        return StartStickerField::Masked;
    return StartStickerField::None;
}

bool isSharedTitle(QStringView title) { return title.startsWith(SharedTitleTag); }

QString sharedTargetOid(const QString& title) { return title.mid(SharedTitleTag.size()); }
