#include "Texts.h"

QString textOf(RemovalResult result)
{
    switch (result) {
    case RemovalResult::Removed:
        return {};
    case RemovalResult::NotFlushed:
        return AppText::RemoveNotFlushed;
    case RemovalResult::Failed:
        break;
    }
    return AppText::RemoveFailed;
}

QString textOf(const StickerChangeResult& result)
{
    switch (result.outcome) {
    case StickerChangeOutcome::Done:
        return {};
    case StickerChangeOutcome::Invalid:
        return textOf(result.check);
    case StickerChangeOutcome::Shared:
        return AppText::StickerShared;
    case StickerChangeOutcome::Exists:
        return AppText::StickerExists;
    case StickerChangeOutcome::OldNameKept:
        return AppText::StickerOldNameKept;
    case StickerChangeOutcome::Failed:
        break;
    }
    return AppText::StickerFailed;
}

QString textOf(PackageFolder::Problem problem)
{
    switch (problem) {
    case PackageFolder::Problem::None:
    case PackageFolder::Problem::NoVolume:
        break;
    case PackageFolder::Problem::Missing:
        return AppText::FolderMissing;
    case PackageFolder::Problem::NotFolder:
        return AppText::FolderNotFolder;
    case PackageFolder::Problem::Link:
        return AppText::FolderLink;
    case PackageFolder::Problem::OtherVolume:
        return AppText::FolderOtherVolume;
    case PackageFolder::Problem::Unreadable:
        return AppText::FolderUnreadable;
    }
    return {};
}

QString textOf(BackupProblem problem)
{
    switch (problem) {
    case BackupProblem::None:
        return {};
    case BackupProblem::OtherPen:
        return AppText::BackupOtherPen;
    case BackupProblem::NotBackup:
        return AppText::BackupNotBackup;
    case BackupProblem::BadManifest:
        return AppText::BackupBadManifest;
    case BackupProblem::NoPen:
        return AppText::BackupNoPen;
    case BackupProblem::NoSpace:
        return AppText::BackupNoSpace;
    case BackupProblem::PenGone:
        return AppText::BackupPenGone;
    case BackupProblem::Failed:
        break;
    }
    return AppText::BackupFailed;
}

QString textOf(TransferProblem problem)
{
    switch (problem) {
    case TransferProblem::None:
        return {};
    case TransferProblem::NoPen:
        return AppText::TransferNoPen;
    case TransferProblem::NoSpace:
        return AppText::TransferNoSpace;
    case TransferProblem::PenGone:
        return AppText::TransferPenGone;
    case TransferProblem::LeftBehind:
        return InstallText::LeftBehind;
    case TransferProblem::Failed:
        break;
    }
    return AppText::TransferFailed;
}

QString textOf(JobRefusal refusal)
{
    switch (refusal) {
    case JobRefusal::Cancelled:
        return {};
    case JobRefusal::EjectPending:
        return AppText::EjectPending;
    case JobRefusal::OtherPen:
    case JobRefusal::PenGone:
        break;
    }
    // Another pen where this one was is this one pulled out, as far as its work goes.
    return AppText::Unplugged;
}

QString textOf(BackupListing listing)
{
    switch (listing) {
    case BackupListing::Ok:
        return {};
    case BackupListing::NoManifest:
    case BackupListing::Empty:
        return AppText::BackupNone;
    case BackupListing::Unreadable:
        break;
    }
    return AppText::BackupBadManifest;
}

QString textOf(const CopiedPackage& package)
{
    return package.target == package.name ? package.target
                                          : package.name + QStringLiteral(" → ") + package.target;
}

QString textOf(const SkippedPackage& package)
{
    if (package.sharedTarget.isEmpty())
        return package.name;
    return QStringLiteral("%1（共享教材的 %2 没有按原贴号复制）").arg(package.name, package.sharedTarget);
}

QStringList textsOf(const QList<CopiedPackage>& packages)
{
    QStringList texts;
    for (const CopiedPackage& package : packages)
        texts.append(textOf(package));
    return texts;
}

QStringList textsOf(const QList<SkippedPackage>& packages)
{
    QStringList texts;
    for (const SkippedPackage& package : packages)
        texts.append(textOf(package));
    return texts;
}

QString freeSpaceText(const VolumeUsage& usage)
{
    return QStringLiteral("可用 %1，共 %2").arg(humanSize(usage.available), humanSize(usage.total));
}

QString penDetails(const PenRecord& pen, const QString& volumePath, const QString& label,
    const std::optional<VolumeUsage>& usage)
{
    QStringList parts;
    const QString serial = pen.serialText();
    parts.append(QStringLiteral("序列号：%1").arg(serial.isEmpty() ? QStringLiteral("（无）") : serial));
    if (volumePath.isEmpty()) {
        parts.append(QStringLiteral("未挂载"));
    } else {
        parts.append(volumeLabelLine(label));
        if (usage)
            parts.append(freeSpaceText(*usage));
    }
    return parts.join(QStringLiteral("，"));
}

QString volumeLabelLine(const QString& label) { return QStringLiteral("卷标：%1").arg(label); }

QString backupSummary(const BackupReport& report)
{
    QStringList lines;
    if (report.problem != BackupProblem::None)
        lines.append(textOf(report.problem));
    if (report.cancelled)
        lines.append(AppText::Cancelled);
    if (report.incremental)
        lines.append(QStringLiteral("该文件夹里已有这支点读笔的备份：只复制了新的和有改动的文件。"));
    lines.append(QStringLiteral("已备份 %1 个，未改动 %2 个，失败 %3 个。")
                     .arg(report.copied.size())
                     .arg(report.unchanged.size())
                     .arg(report.failed.size()));
    if (!report.copied.isEmpty())
        lines.append(QStringLiteral("已备份：") + report.copied.join(QStringLiteral("，")));
    if (!report.failed.isEmpty())
        lines.append(QStringLiteral("失败：") + report.failed.join(QStringLiteral("，")));
    if (!report.notCopied.isEmpty())
        lines.append(
            QStringLiteral("不是点读包文件，未备份：") + report.notCopied.join(QStringLiteral("，")));
    return lines.join(QLatin1Char('\n'));
}

QString transferSummary(const TransferReport& report, const QStringList& refused)
{
    QStringList lines;
    if (report.problem != TransferProblem::None)
        lines.append(textOf(report.problem));
    if (report.cancelled)
        lines.append(AppText::Cancelled);
    lines.append(QStringLiteral("已复制 %1 个，跳过 %2 个，失败 %3 个。")
                     .arg(report.restored.size())
                     .arg(report.skipped.size())
                     .arg(report.failed.size()));
    if (!report.restored.isEmpty())
        lines.append(QStringLiteral("已复制：") + textsOf(report.restored).join(QStringLiteral("，")));
    if (!report.skipped.isEmpty())
        lines.append(QStringLiteral("跳过：") + textsOf(report.skipped).join(QStringLiteral("，")));
    if (!report.failed.isEmpty())
        lines.append(QStringLiteral("失败：") + report.failed.join(QStringLiteral("，")));
    if (!refused.isEmpty())
        lines.append(QStringLiteral("不是点读包文件，未复制：") + refused.join(QStringLiteral("，")));
    return lines.join(QLatin1Char('\n'));
}

QString backupTask(const QString& serial, const QString& folder)
{
    return QStringLiteral("正在备份点读笔 %1 到 %2").arg(serial, folder);
}

QString restoreTask(const QString& folder, const QString& serial)
{
    return QStringLiteral("正在从 %1 恢复到点读笔 %2").arg(folder, serial);
}

QString copyTask(qsizetype count, const QString& serial)
{
    return QStringLiteral("正在复制 %1 个点读包到点读笔 %2").arg(count).arg(serial);
}

QString copyQuestion(qsizetype count) { return QStringLiteral("把选中的 %1 个点读包复制到：").arg(count); }

QString moveChoice(const QString& name) { return QStringLiteral("改为 %1").arg(name); }

QString choiceName(const QString& name) { return QStringLiteral("%1 的处理").arg(name); }
