#include "InstallTexts.h"

QString textOf(InstallResult result)
{
    switch (result) {
    case InstallResult::Installed:
        return {};
    case InstallResult::NoSpace:
        return InstallText::NoSpace;
    case InstallResult::TargetExists:
        return InstallText::Exists;
    case InstallResult::TooShort:
        return InstallText::TooShort;
    case InstallResult::LeftBehind:
        return InstallText::LeftBehind;
    case InstallResult::Cancelled:
        return InstallText::Cancelled;
    case InstallResult::Failed:
        break;
    }
    return InstallText::Failed;
}

QString textOf(StickerCheck check)
{
    switch (check) {
    case StickerCheck::Valid:
        break;
    case StickerCheck::BookNotDigits:
        return InstallText::BookNotDigits;
    case StickerCheck::StartNotDigits:
        return InstallText::StartNotDigits;
    case StickerCheck::BookNotThree:
        return InstallText::BookNotThree;
    case StickerCheck::StartNotFour:
        return InstallText::StartNotFour;
    }
    return {};
}

QString refusedFilesMessage(const QStringList& refused)
{
    if (refused.isEmpty())
        return {};
    if (refused.size() == 1)
        return QStringLiteral("“%1”不是点读包或故事包（.dab、.dsb），无法安装！").arg(refused.first());
    return QStringLiteral("“%1”等%2个文件不是点读包或故事包（.dab、.dsb），无法安装！")
        .arg(refused.first())
        .arg(refused.size());
}
