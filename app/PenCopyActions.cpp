#include "PenCopyActions.h"

#include "ConflictWindow.h"
#include "PenSession.h"
#include "Texts.h"
#include "TransferWindow.h"

#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QPointer>
#include <QPushButton>

namespace {
// What a transfer's job tells its window, as long as the window is open.
PenSession::Progress progressIn(const QPointer<TransferWindow>& window)
{
    return [window](qint64 done, qint64 total, const QString& name) {
        if (window)
            window->progress(done, total, name);
    };
}

PenDoor::Refused refusalIn(const QPointer<TransferWindow>& window)
{
    return [window](JobRefusal why) {
        if (window)
            window->finish(why == JobRefusal::Cancelled ? AppText::Cancelled : textOf(why));
    };
}
}

PenCopyActions::PenCopyActions(PenCopyContext context, PenSession* session, QWidget* window,
    QPushButton* backup, QPushButton* restore, QPushButton* copy)
    : QObject(window)
    , m_context(std::move(context))
    , m_session(session)
    , m_window(window)
    , m_backup(backup)
    , m_restore(restore)
    , m_copy(copy)
{
    connect(m_backup, &QPushButton::clicked, this, &PenCopyActions::backup);
    connect(m_restore, &QPushButton::clicked, this, &PenCopyActions::restore);
    connect(m_copy, &QPushButton::clicked, this, &PenCopyActions::copyToPen);
    update(false);
}

void PenCopyActions::update(bool mayWrite)
{
    m_backup->setEnabled(mayWrite);
    m_restore->setEnabled(mayWrite);
    m_copy->setEnabled(mayWrite && m_session->pens().size() >= 2 && !m_context.selectedBooks().isEmpty());
}

QString PenCopyActions::chooseFolder(const QString& caption)
{
    const QString folder = folderChooser ? folderChooser(caption)
                                         : QFileDialog::getExistingDirectory(m_window, caption,
                                             m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder);
    if (!folder.isEmpty())
        m_lastFolder = folder;
    return folder;
}

QString PenCopyActions::serialOf(const QString& bsdName) const
{
    const auto pen = m_session->pens().find(bsdName);
    return pen == m_session->pens().end() ? QString() : pen->second.serialText();
}

TransferWindow* PenCopyActions::openWindow(const QString& task)
{
    auto* window = new TransferWindow(task, m_window);
    window->show();
    return window;
}

void PenCopyActions::backup()
{
    const PenRecord* pen = m_context.selectedPen();
    if (!pen)
        return;
    const QString bsdName = pen->bsdName;
    if (m_session->volumeOf(bsdName).isEmpty()) {
        m_context.showInfo(AppText::CopyNoVolume);
        return;
    }
    const QString folder = chooseFolder(AppText::ChooseBackupFolder);
    // The pen may have gone, or be ejected, while the folder was chosen.
    if (folder.isEmpty() || !m_session->mayWrite(bsdName))
        return;
    // The backup is of the pen that is there once the folder is chosen.
    const PenIdentity identity = m_session->identityOf(bsdName);
    const QPointer<TransferWindow> window = openWindow(backupTask(pen->serialText(), folder));
    const auto rescan = m_context.rescan;
    const quint64 job = m_session->backupPen(
        bsdName, identity, folder, progressIn(window),
        [window, rescan](const BackupReport& report) {
            if (window)
                window->finish(backupSummary(report));
            // Nothing on the pen changed, but it may have gone away.
            rescan();
        },
        refusalIn(window));
    window->setCancel([session = m_session, bsdName, job] { session->cancel(bsdName, job); });
}

void PenCopyActions::restore()
{
    const PenRecord* pen = m_context.selectedPen();
    if (!pen)
        return;
    const QString bsdName = pen->bsdName;
    if (m_session->volumeOf(bsdName).isEmpty()) {
        m_context.showInfo(AppText::CopyNoVolume);
        return;
    }
    const QString folder = chooseFolder(AppText::ChooseBackupFolder);
    if (folder.isEmpty() || !m_session->mayWrite(bsdName))
        return;
    m_context.showInfo(AppText::Planning);
    m_session->planRestore(bsdName, folder, [this, bsdName, folder](const TransferPlan& plan) {
        if (plan.listing != BackupListing::Ok) {
            m_context.showInfo(textOf(plan.listing));
            return;
        }
        m_context.showInfo(QString());
        transfer(bsdName, QString(), plan, restoreTask(folder, serialOf(bsdName)));
    });
}

void PenCopyActions::copyToPen()
{
    const PenRecord* pen = m_context.selectedPen();
    const BookList rows = m_context.selectedBooks();
    if (!pen)
        return;
    if (rows.isEmpty()) {
        m_context.showInfo(AppText::CopyNoRows);
        return;
    }
    const QString from = pen->bsdName;
    // The other pens, by their serial, with what else tells them apart: from what their last
    // listing read, so that no pen is asked on the way.
    QStringList labels;
    QStringList names;
    for (const auto& [bsdName, record] : m_session->pens()) {
        if (bsdName == from)
            continue;
        labels.append(m_context.penDetails(bsdName));
        names.append(bsdName);
    }
    if (labels.isEmpty() || m_session->volumeOf(from).isEmpty())
        return;
    QString chosen;
    if (penChooser) {
        chosen = penChooser(labels);
    } else {
        bool ok = false;
        chosen = QInputDialog::getItem(
            m_window, AppText::CopyToPenTitle, copyQuestion(rows.size()), labels, 0, false, &ok);
        if (!ok)
            chosen.clear();
    }
    const qsizetype index = labels.indexOf(chosen);
    if (index < 0)
        return;
    const QString to = names[index];
    if (m_session->volumeOf(to).isEmpty()) {
        m_context.showInfo(AppText::CopyNoVolume);
        return;
    }
    if (!m_session->mayWrite(to) || m_session->ejecting() == from)
        return;
    m_context.showInfo(AppText::Planning);
    m_session->planCopy(from, rows, to, [this, from, to](const TransferPlan& plan) {
        m_context.showInfo(QString());
        transfer(to, from, plan, copyTask(plan.plan.size(), serialOf(to)));
    });
}

// Asks about taken names, then copies: a write of the target pen, bound to who it is now.
void PenCopyActions::transfer(const QString& to, const QString& from, TransferPlan plan, const QString& task)
{
    if (std::any_of(plan.plan.cbegin(), plan.plan.cend(),
            [](const PlannedItem& entry) { return entry.ownNameTaken; })) {
        ConflictWindow ask(plan.plan, m_window);
        if (ask.ask() != QDialog::Accepted)
            return;
    }
    if (!m_session->mayWrite(to))
        return;
    const QPointer<TransferWindow> window = openWindow(task);
    const auto rescan = m_context.rescan;
    const quint64 job = m_session->runTransfer(
        to, m_session->identityOf(to), plan.plan, from, progressIn(window),
        [window, rescan, refused = plan.refused](const TransferReport& report) {
            if (window)
                window->finish(transferSummary(report, refused));
            // One rescan at the end, of whichever pen is selected.
            rescan();
        },
        refusalIn(window));
    window->setCancel([session = m_session, to, job] { session->cancel(to, job); });
}
