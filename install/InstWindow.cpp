#include "InstWindow.h"

#include "BookHeader.h"
#include "InstallTexts.h"
#include "MessageLine.h"
#include "StickerNumber.h"
#include "ui_InstWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <climits>

InstWindow::InstWindow(QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::InstWindow>())
{
    m_ui->setupUi(this);
    btnInstall = m_ui->btnInstall;
    btnCancel = m_ui->btnCancel;
    dtBookName = m_ui->dtBookName;
    dtBookOid = m_ui->dtBookOid;
    dtOffsetOid = m_ui->dtOffsetOid;
    ttBookOid = m_ui->ttBookOid;
    ttOffsetOid = m_ui->ttOffsetOid;
    dtInfo = m_ui->dtInfo;
    prInstall = m_ui->prInstall;

    connect(btnInstall, &QPushButton::clicked, this, &InstWindow::InstallBook);
    connect(btnCancel, &QPushButton::clicked, this, &InstWindow::CancelBook);
}

// A job still under way reports to nobody: its results go through a guard on this object.
InstWindow::~InstWindow() = default;

void InstWindow::setPenName(const QString& text) { m_ui->dtPen->setText(text); }

bool InstWindow::validateNumberByASCII(const QString& text) const { return ::validateNumberByASCII(text); }

void InstWindow::showWindow()
{
    if (!m_loaded)
        windowDidLoad();
    if (windowShown) {
        if (m_proposing)
            m_shownHookDue = true;
        else
            QMetaObject::invokeMethod(
                this, [this, hook = windowShown] { hook(this); }, Qt::QueuedConnection);
    }
    m_running = true;
    exec();
    m_running = false;
}

void InstWindow::windowDidLoad()
{
    m_loaded = true;
    const BookType type = GetBookType(m_pathBook);
    extBook = type.extension;
    nTypeBook = type.nTypeBook;
    m_nameBook = m_nameBook.mid(type.tagLength);

    if (extBook == ExtStory) {
        ttBookOid->setText(InstallText::StoryCaption);
        dtBookOid->setAccessibleName(InstallText::StoryCaption.chopped(1));
    } else if (extBook == ExtSelfMade) {
        ttOffsetOid->show();
        dtOffsetOid->show();
    }

    // A title that decodes to nothing still needs something the user recognises.
    const QString shown = m_nameBook.trimmed();
    dtBookName->setText(shown.isEmpty() ? QFileInfo(m_pathBook).completeBaseName() : shown);
    dtBookOid->setFocus();
    // The free number is looked up on the pen in the background; 安装 waits for it.
    m_proposing = true;
    btnInstall->setEnabled(false);
    if (!m_door) {
        proposalFinished(QString());
        return;
    }
    const QPointer<InstWindow> self(this);
    m_door->post(
        JobAccess::Read, PenJobKind::ProposalJob,
        [self, pathKavo = m_pathKavo, extension = extBook](const PenJobContext&) -> PenDoor::Deliver {
            const QString proposal = proposeBookOid(pathKavo, extension);
            return [self, proposal] {
                if (self)
                    self->proposalFinished(proposal);
            };
        },
        [self](JobRefusal) {
            if (self)
                self->proposalFinished(QString());
        });
}

void InstWindow::proposalFinished(const QString& bookOid)
{
    m_proposing = false;
    // A number typed meanwhile is the user's.
    if (dtBookOid->text().isEmpty()) {
        dtBookOid->setText(bookOid);
        dtBookOid->selectAll();
    }
    btnInstall->setEnabled(!m_copying && !m_closing);
    if (std::exchange(m_shownHookDue, false) && windowShown)
        QMetaObject::invokeMethod(
            this, [this, hook = windowShown] { hook(this); }, Qt::QueuedConnection);
}

void InstWindow::InstallBook()
{
    if (m_copying || m_closing || m_proposing)
        return;
    const QString bookOid = dtBookOid->text();
    const QString offsetOid = dtOffsetOid->text();
    const StickerCheck check = checkStickerTexts(bookOid, offsetOid);
    if (check != StickerCheck::Valid) {
        showMessage(dtInfo, textOf(check));
        return;
    }
    // Any entry takes the name, a dangling link too: refuse now rather than after the copy. The
    // pen is asked in the background; the dialog waits for the answer with its controls disabled.
    m_copying = true;
    setEditing(false);
    if (!m_door) {
        refused(JobRefusal::PenGone);
        return;
    }
    const QPointer<InstWindow> self(this);
    m_door->post(
        JobAccess::Read, PenJobKind::NameCheckJob,
        [self, pathKavo = m_pathKavo, name = packageFileName(bookOid, extBook), bookOid, offsetOid](
            const PenJobContext&) -> PenDoor::Deliver {
            const bool taken = isPackageNameTaken(pathKavo, name);
            return [self, taken, bookOid, offsetOid] {
                if (self)
                    self->checkFinished(taken, bookOid, offsetOid);
            };
        },
        [self](JobRefusal why) {
            if (self)
                self->refused(why);
        });
}

void InstWindow::checkFinished(bool taken, const QString& bookOid, const QString& offsetOid)
{
    if (taken) {
        m_copying = false;
        showMessage(dtInfo, InstallText::Exists);
        setEditing(true);
        return;
    }
    startCopy(bookOid, offsetOid);
}

// The session did not let the job run: the pen is being ejected, or it is not the pen the
// dialog was opened for any more.
void InstWindow::refused(JobRefusal why)
{
    m_copying = false;
    m_copyJob = 0;
    prInstall->hide();
    if (std::exchange(m_cancelling, false)) {
        copyFinished(InstallResult::Cancelled);
        return;
    }
    showMessage(dtInfo, why == JobRefusal::EjectPending ? InstallText::EjectPending : InstallText::PenGone);
    setEditing(true);
}

void InstWindow::startCopy(const QString& bookOid, const QString& offsetOid)
{
    dtInfo->setText(InstallText::Installing);
    setEditing(false);
    const qint64 chunks = chunkCount(QFileInfo(m_pathBook).size());
    prInstall->setRange(0, int(std::min<qint64>(chunks + 1, INT_MAX)));
    prInstall->setValue(0);
    prInstall->show();

    // 取消 now stops the copy.
    btnCancel->setEnabled(true);

    const InstallRequest request { m_pathBook, m_pathKavo, bookOid, offsetOid.toInt(), extBook, nTypeBook };
    const InstallOptions options = m_options;
    const QPointer<InstWindow> self(this);
    m_copyJob = m_door->post(
        JobAccess::Write, QString(),
        [self, request, options](const PenJobContext& context) -> PenDoor::Deliver {
            const auto progress = [self, report = context.report](qint64 chunk) {
                report([self, chunk] {
                    if (self)
                        self->prInstall->setValue(int(std::min<qint64>(chunk, INT_MAX)));
                });
            };
            InstallOptions copy = options;
            copy.cancelled = [stop = context.stop] { return stop.stop_requested(); };
            const InstallResult result = installPackage(request, progress, copy);
            return [self, result] {
                if (self)
                    self->copyFinished(result);
            };
        },
        [self](JobRefusal why) {
            if (self)
                self->refused(why);
        });
}

void InstWindow::copyFinished(InstallResult result)
{
    m_copying = false;
    m_copyJob = 0;
    m_cancelling = false;
    m_result = result;
    if (result == InstallResult::Installed || result == InstallResult::Cancelled) {
        // Only now is the package on the device under its name, or nothing is left of it.
        m_nRefresh = result == InstallResult::Installed ? 2 : 1;
        m_closing = true;
        QMetaObject::invokeMethod(this, &InstWindow::closeModalWindow, Qt::QueuedConnection);
        return;
    }
    showMessage(dtInfo, textOf(result));
    prInstall->hide();
    setEditing(true);
}

void InstWindow::setEditing(bool editing)
{
    for (QWidget* control : { static_cast<QWidget*>(btnCancel), static_cast<QWidget*>(btnInstall),
             static_cast<QWidget*>(dtBookOid), static_cast<QWidget*>(dtOffsetOid) })
        control->setEnabled(editing);
}

void InstWindow::CancelBook()
{
    if (m_closing)
        return;
    if (m_copying) {
        // The copy stops at its next block and removes what it wrote; the dialog closes then.
        if (m_copyJob != 0 && !m_cancelling) {
            m_cancelling = true;
            btnCancel->setEnabled(false);
            showMessage(dtInfo, InstallText::Cancelling);
            m_door->cancel(m_copyJob);
        }
        return;
    }
    m_nRefresh = 1;
    m_closing = true;
    QMetaObject::invokeMethod(this, &InstWindow::closeModalWindow, Qt::QueuedConnection);
}

void InstWindow::closeModalWindow() { done(m_nRefresh == 2 ? QDialog::Accepted : QDialog::Rejected); }

// Escape and the close box end up here: while the loop runs they count as CancelBook.
void InstWindow::reject()
{
    if (m_closing)
        return;
    if (m_copying || m_running) {
        CancelBook();
        return;
    }
    QDialog::reject();
}

void InstWindow::closeEvent(QCloseEvent* event)
{
    if (m_copying) {
        // The close box stops the copy; the dialog closes once it has.
        CancelBook();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
