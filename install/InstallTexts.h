#pragma once

#include "PackageCopy.h"
#include "StickerNumber.h"

#include <QString>

// What the install dialog says, and the sticker checks' texts, which the main window shows too.
namespace InstallText {
inline const QString Exists = QStringLiteral("此贴号点读包已存在！");
inline const QString Installing = QStringLiteral("正在安装点读包……");
inline const QString NoSpace = QStringLiteral("点读笔空间不足，无法安装！");
inline const QString Failed = QStringLiteral("点读包安装失败，请检查点读笔后重试！");
inline const QString TooShort = QStringLiteral("此文件太短，不是完整的点读包，无法安装！");
// The name was given but could not be made durable, nor taken back.
inline const QString LeftBehind
    = QStringLiteral("点读包安装失败，点读笔上的同名文件可能不完整，请删除后重试！");

inline const QString BookNotDigits = QStringLiteral("书名贴号必须为数字！");
inline const QString StartNotDigits = QStringLiteral("起始贴号必须为数字！");
inline const QString BookNotThree = QStringLiteral("书名贴号必须为3位数字！");
inline const QString StartNotFour = QStringLiteral("起始贴号必须为4位数字！");
}

// Empty where there is nothing to say (an install that went through, valid numbers).
QString textOf(InstallResult result);
QString textOf(StickerCheck check);
