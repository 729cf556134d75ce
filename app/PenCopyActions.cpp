#include "PenCopyActions.h"

#include "Catalogue.h"
#include "ConflictWindow.h"
#include "PenBackup.h"
#include "PenTransfer.h"
#include "Texts.h"
#include "TransferWindow.h"
#include "VolumePath.h"
#include "VolumeSpace.h"

#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QPushButton>
#include <QStorageInfo>

namespace {
const QString NoVolumeMessage = QStringLiteral("未找到点读笔存储，无法复制！");
const QString NoRowsMessage = QStringLiteral("请先在列表中选择要复制的点读包。");
}

PenCopyActions::PenCopyActions(
    PenCopyContext context, QWidget* window, QPushButton* backup, QPushButton* restore, QPushButton* copy)
    : QObject(window)
    , m_context(std::move(context))
    , m_window(window)
    , m_backup(backup)
    , m_restore(restore)
    , m_copy(copy)
{
    connect(m_backup, &QPushButton::clicked, this, &PenCopyActions::backup);
    connect(m_restore, &QPushButton::clicked, this, &PenCopyActions::restore);
    connect(m_copy, &QPushButton::clicked, this, &PenCopyActions::copyToPen);
    update();
}

void PenCopyActions::update()
{
    const bool pen = m_context.selectedPen() != nullptr;
    m_backup->setEnabled(pen);
    m_restore->setEnabled(pen);
    m_copy->setEnabled(pen && m_context.pens().size() >= 2 && !m_context.selectedBooks().isEmpty());
}

QString PenCopyActions::chooseFolder(const QString& caption) const
{
    if (folderChooser)
        return folderChooser(caption);
    return QFileDialog::getExistingDirectory(
        m_window, caption, m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder);
}

void PenCopyActions::backup()
{
    const PenRecord* pen = m_context.selectedPen();
    if (!pen)
        return;
    const QString pathKavo = packageDirectoryFor(m_context.volumePath(pen->bsdName));
    if (pathKavo.isEmpty()) {
        m_context.showInfo(NoVolumeMessage);
        return;
    }
    const QString folder = chooseFolder(QStringLiteral("选择备份文件夹"));
    if (folder.isEmpty())
        return;
    m_lastFolder = folder;
    const QString serial = pen->serialText();
    TransferWindow window(QStringLiteral("正在备份点读笔 %1 到 %2").arg(serial, folder), m_window);
    window.run([&](const std::atomic_bool& cancelled) {
        BackupOptions options;
        options.progress = [&window](qint64 done, qint64 total, const QString& name) {
            window.progress(done, total, name);
        };
        options.cancelled = [&cancelled] { return bool(cancelled); };
        return backupSummary(backupPen(pathKavo, serial, folder, options));
    });
    // Nothing on the pen changed, but it may have gone away.
    m_context.rescan();
}

void PenCopyActions::restore()
{
    const PenRecord* pen = m_context.selectedPen();
    if (!pen)
        return;
    const QString pathKavo = packageDirectoryFor(m_context.volumePath(pen->bsdName));
    if (pathKavo.isEmpty()) {
        m_context.showInfo(NoVolumeMessage);
        return;
    }
    const QString folder = chooseFolder(QStringLiteral("选择备份文件夹"));
    if (folder.isEmpty())
        return;
    m_lastFolder = folder;
    BackupListing listing = BackupListing::Ok;
    const QList<TransferItem> items = itemsFromBackup(folder, &listing);
    if (listing != BackupListing::Ok) {
        m_context.showInfo(textOf(listing));
        return;
    }
    transfer(items, pathKavo, QStringLiteral("正在从 %1 恢复到点读笔 %2").arg(folder, pen->serialText()), {});
}

void PenCopyActions::copyToPen()
{
    const PenRecord* pen = m_context.selectedPen();
    const BookList rows = m_context.selectedBooks();
    if (!pen)
        return;
    if (rows.isEmpty()) {
        m_context.showInfo(NoRowsMessage);
        return;
    }
    const QString source = packageDirectoryFor(m_context.volumePath(pen->bsdName));
    // The other pens, by their serial, with what else tells them apart.
    QStringList labels;
    QStringList names;
    for (const auto& [bsdName, record] : m_context.pens()) {
        if (bsdName == pen->bsdName)
            continue;
        const QString volume = m_context.volumePath(bsdName);
        labels.append(penDetails(record, volume, volumeLabel(volume), queryVolumeUsage(volume)));
        names.append(bsdName);
    }
    if (labels.isEmpty() || source.isEmpty())
        return;
    QString chosen;
    if (penChooser) {
        chosen = penChooser(labels);
    } else {
        bool ok = false;
        chosen = QInputDialog::getItem(m_window, QStringLiteral("复制到另一支笔"),
            QStringLiteral("把选中的 %1 个点读包复制到：").arg(rows.size()), labels, 0, false, &ok);
        if (!ok)
            chosen.clear();
    }
    const qsizetype index = labels.indexOf(chosen);
    if (index < 0)
        return;
    const QString target = packageDirectoryFor(m_context.volumePath(names[index]));
    if (target.isEmpty()) {
        m_context.showInfo(NoVolumeMessage);
        return;
    }
    QStringList refused;
    const QList<TransferItem> items = itemsFromRows(rows, source, &refused);
    const PenRecord& other = m_context.pens().at(names[index]);
    transfer(items, target,
        QStringLiteral("正在复制 %1 个点读包到点读笔 %2").arg(items.size()).arg(other.serialText()), refused);
}

void PenCopyActions::transfer(const QList<TransferItem>& items, const QString& pathKavo, const QString& task,
    const QStringList& refused)
{
    QList<PlannedItem> plan = planTransfer(items, pathKavo);
    if (std::any_of(
            plan.cbegin(), plan.cend(), [](const PlannedItem& entry) { return entry.ownNameTaken; })) {
        ConflictWindow ask(plan, m_window);
        if (ask.ask() != QDialog::Accepted)
            return;
    }
    TransferWindow window(task, m_window);
    window.run([&](const std::atomic_bool& cancelled) {
        TransferOptions options;
        options.progress = [&window](qint64 done, qint64 total, const QString& name) {
            window.progress(done, total, name);
        };
        options.cancelled = [&cancelled] { return bool(cancelled); };
        const TransferReport report = runTransfer(plan, pathKavo, options);
        QString summary = transferSummary(report);
        if (!refused.isEmpty())
            summary += QStringLiteral("\n不是点读包文件，未复制：") + refused.join(QStringLiteral("，"));
        return summary;
    });
    // One rescan at the end, of whichever pen is selected.
    m_context.rescan();
}
