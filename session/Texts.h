#pragma once

#include "BookRemoval.h"
#include "InstallTexts.h"
#include "PackageFolder.h"
#include "PenBackup.h"
#include "PenRecord.h"
#include "PenTransfer.h"
#include "StickerChange.h"
#include "VolumeSpace.h"

#include <QString>

// Every text the main window and its backup, restore and copy windows show, and the one place
// where what the logic reports becomes a text. The install dialog keeps its own texts beside it
// (InstallTexts.h), which the sticker change shares.
namespace AppText {
inline const QString NoPen = QStringLiteral("请连接点读系列产品！");
inline const QString NoVolume = QStringLiteral("未找到点读笔存储，无法安装！");
inline const QString EjectFailed = QStringLiteral("点读笔弹出失败，请关闭正在使用点读笔的程序后重试！");
inline const QString Ejecting = QStringLiteral("正在弹出点读笔……");
inline const QString Ejected = QStringLiteral("点读笔已弹出，可以安全拔下。");
inline const QString Unplugged = InstallText::PenGone;

inline const QString RemoveQuestion = QStringLiteral("是否删除此点读包？");
inline const QString RemoveWarning = QStringLiteral("删除点读包后将不能恢复！");
inline const QString Remove = QStringLiteral("删除");
inline const QString Cancel = QStringLiteral("取消");
inline const QString RemoveFailed = QStringLiteral("删除点读包失败！");
inline const QString RemoveNotFlushed
    = QStringLiteral("点读包已删除，但未能写入点读笔，请检查点读笔后再拔出！");

inline const QString StickerShared = QStringLiteral("共享教材无法更改贴号！");
inline const QString StickerExists = QStringLiteral("教材已存在无法更改贴号！");
inline const QString StickerFailed = QStringLiteral("更改贴号失败，请检查点读笔后重试！");
inline const QString StickerOldNameKept
    = QStringLiteral("已更改为新贴号，但原贴号的文件未能删除，请检查点读笔！");

inline const QString FolderMissing
    = QStringLiteral("点读笔上没有 USER/CUSTOM 文件夹，安装点读包时会创建它。");
inline const QString FolderNotFolder = QStringLiteral("点读笔上的 USER/CUSTOM 不是文件夹！");
inline const QString FolderLink = QStringLiteral("点读笔上的 USER/CUSTOM 是指向别处的链接，不能使用！");
inline const QString FolderOtherVolume
    = QStringLiteral("点读笔上的 USER/CUSTOM 不在点读笔自己的存储上，不能使用！");
inline const QString FolderUnreadable = QStringLiteral("无法读取点读笔上的 USER/CUSTOM 文件夹！");

inline const QString BackupOtherPen = QStringLiteral("该文件夹里是另一支点读笔的备份，请选择其他文件夹！");
inline const QString BackupNotBackup
    = QStringLiteral("该文件夹不是空的，也不是点读笔的备份，请选择一个空文件夹！");
inline const QString BackupBadManifest = QStringLiteral("无法读取该文件夹里的备份清单！");
inline const QString BackupNone = QStringLiteral("该文件夹里没有可以恢复的备份！");
inline const QString BackupNoPen = FolderUnreadable;
inline const QString BackupNoSpace = QStringLiteral("电脑上的空间不足，无法备份！");
inline const QString BackupPenGone = QStringLiteral("点读笔已断开，备份没有完成；已备份的文件都是完整的。");
inline const QString BackupFailed = QStringLiteral("备份时出错，请检查点读笔和备份文件夹后重试！");

inline const QString TransferNoSpace = QStringLiteral("点读笔空间不足，无法复制这些点读包！");
inline const QString TransferPenGone
    = QStringLiteral("点读笔已断开，复制没有完成；点读笔上没有留下不完整的点读包。请重新连接后检查！");
inline const QString TransferFailed = QStringLiteral("复制点读包失败，请检查点读笔后重试！");
inline const QString TransferNoPen = QStringLiteral("无法打开点读笔上的 USER/CUSTOM 文件夹！");

// Backup, restore and copy to another pen: what they ask and say.
inline const QString CopyNoVolume = QStringLiteral("未找到点读笔存储，无法复制！");
inline const QString CopyNoRows = QStringLiteral("请先在列表中选择要复制的点读包。");
inline const QString ChooseBackupFolder = QStringLiteral("选择备份文件夹");
inline const QString CopyToPenTitle = QStringLiteral("复制到另一支笔");
inline const QString Cancelled = QStringLiteral("已取消。");
inline const QString Cancelling = QStringLiteral("正在取消，当前文件复制完后停止……");
inline const QString Planning = QStringLiteral("正在查看点读笔上的点读包……");
inline const QString Skip = QStringLiteral("跳过");
inline const QString CannotMove = QStringLiteral("此点读包不能改贴号，只能跳过");

// The session's refusals and the eject that waits.
inline const QString EjectWaits = QStringLiteral("点读笔正在写入，写完后弹出……");
inline const QString EjectPending = InstallText::EjectPending;
}

// How a message stands out in the message line.
enum class MessageTone {
    Problem, // a failure or a refusal: in red
    News, // what went well, or what is under way
};

// The texts of results; empty where the window has nothing to say.
QString textOf(RemovalResult result);
QString textOf(const StickerChangeResult& result);
QString textOf(PackageFolder::Problem problem);
QString textOf(BackupProblem problem);
QString textOf(TransferProblem problem);
// Why the session did not run a job; empty for a cancel, which the user asked for.
QString textOf(JobRefusal refusal);
QString textOf(BackupListing listing);

// The main window's line for a pen, e.g. "可用 1.2 GB，共 3.9 GB".
QString freeSpaceText(const VolumeUsage& usage);

// What tells a pen from another of the same model: its serial, and the label and free space of
// its volume ("未挂载" when `volumePath` is empty).
QString penDetails(const PenRecord& pen, const QString& volumePath, const QString& label,
    const std::optional<VolumeUsage>& usage);
// The line beside the serial: the volume's label; empty when it is not mounted.
QString volumeLabelLine(const QString& label);

// A package's part in a transfer summary: "012.dar", or "012.dar → 006.dar" for one moved to
// another number; a skipped shared package says which package it shares.
QString textOf(const CopiedPackage& package);
QString textOf(const SkippedPackage& package);
QStringList textsOf(const QList<CopiedPackage>& packages);
QStringList textsOf(const QList<SkippedPackage>& packages);

// The summaries of the backup and transfer windows.
QString backupSummary(const BackupReport& report);
QString transferSummary(const TransferReport& report, const QStringList& refused = {});

// The texts of the backup, restore and copy windows.
QString backupTask(const QString& serial, const QString& folder);
QString restoreTask(const QString& folder, const QString& serial);
QString copyTask(qsizetype count, const QString& serial);
QString copyQuestion(qsizetype count);
QString moveChoice(const QString& name);
QString choiceName(const QString& name);
