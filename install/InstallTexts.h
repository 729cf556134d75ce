#pragma once

#include "PackageCopy.h"
#include "StickerNumber.h"

#include <QString>
#include <QStringList>

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

inline const QString Cancelling = QStringLiteral("正在取消安装……");
inline const QString Cancelled = QStringLiteral("安装已取消，点读笔上没有留下不完整的点读包。");
// The refusals of the pen's session, as the dialog shows them.
inline const QString PenGone = QStringLiteral("点读笔已拔出。");
inline const QString EjectPending = QStringLiteral("点读笔正在弹出，不能再写入！");

inline const QString StoryCaption = QStringLiteral("故事贴号：");
inline const QString ChoosePackage = QStringLiteral("请选择需要安装的点读包或故事包");
inline const QString PackageFilter = QStringLiteral("点读包或故事包 (*.dab *.dsb)");

inline const QString BookNotDigits = QStringLiteral("书名贴号必须为数字！");
inline const QString StartNotDigits = QStringLiteral("起始贴号必须为数字！");
inline const QString BookNotThree = QStringLiteral("书名贴号必须为3位数字！");
inline const QString StartNotFour = QStringLiteral("起始贴号必须为4位数字！");
}

// Empty where there is nothing to say (an install that went through, valid numbers).
QString textOf(InstallResult result);
QString textOf(StickerCheck check);
// The files dropped or chosen that are no package, e.g.
// "“a.txt”不是点读包或故事包（.dab、.dsb），无法安装！".
QString refusedFilesMessage(const QStringList& refused);
