#include "InstWindow.h"

#include "BookHeader.h"
#include "InstallTexts.h"
#include "MessageLine.h"
#include "StickerNumber.h"
#include "ui_InstWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <climits>

namespace {
const QString StoryCaption = QStringLiteral("故事贴号：");
}

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

InstWindow::~InstWindow()
{
    // The worker writes to the pen and reports back to this object: let it finish.
    if (m_worker)
        m_worker->wait();
}

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
        ttBookOid->setText(StoryCaption);
        dtBookOid->setAccessibleName(StoryCaption.chopped(1));
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
    runOnWorker([this, pathKavo = m_pathKavo, extension = extBook] {
        if (workerStarting)
            workerStarting("proposal");
        const QString proposal = proposeBookOid(pathKavo, extension);
        QMetaObject::invokeMethod(
            this, [this, proposal] { proposalFinished(proposal); }, Qt::QueuedConnection);
    });
}

void InstWindow::runOnWorker(std::function<void()> work)
{
    m_worker.reset(QThread::create(std::move(work)));
    m_worker->start();
}

void InstWindow::endWorker()
{
    if (!m_worker)
        return;
    m_worker->wait();
    m_worker.reset();
}

void InstWindow::proposalFinished(const QString& bookOid)
{
    endWorker();
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
    runOnWorker([this, pathKavo = m_pathKavo, name = packageFileName(bookOid, extBook), bookOid, offsetOid] {
        if (workerStarting)
            workerStarting("check");
        const bool taken = isPackageNameTaken(pathKavo, name);
        QMetaObject::invokeMethod(
            this, [this, taken, bookOid, offsetOid] { checkFinished(taken, bookOid, offsetOid); },
            Qt::QueuedConnection);
    });
}

void InstWindow::checkFinished(bool taken, const QString& bookOid, const QString& offsetOid)
{
    endWorker();
    if (taken) {
        m_copying = false;
        dtInfo->setText(InstallText::Exists);
        setEditing(true);
        return;
    }
    startCopy(bookOid, offsetOid);
}

void InstWindow::startCopy(const QString& bookOid, const QString& offsetOid)
{
    dtInfo->setText(InstallText::Installing);
    setEditing(false);
    const qint64 chunks = chunkCount(QFileInfo(m_pathBook).size());
    prInstall->setRange(0, int(std::min<qint64>(chunks + 1, INT_MAX)));
    prInstall->setValue(0);
    prInstall->show();

    const InstallRequest request { m_pathBook, m_pathKavo, bookOid, offsetOid.toInt(), extBook, nTypeBook };
    const InstallOptions options = m_options;
    runOnWorker([this, request, options] {
        const auto progress = [this](qint64 chunk) {
            QMetaObject::invokeMethod(
                this, [this, chunk] { prInstall->setValue(int(std::min<qint64>(chunk, INT_MAX))); },
                Qt::QueuedConnection);
        };
        const InstallResult result = installPackage(request, progress, options);
        QMetaObject::invokeMethod(
            this, [this, result] { copyFinished(result); }, Qt::QueuedConnection);
    });
}

void InstWindow::copyFinished(InstallResult result)
{
    endWorker();
    m_copying = false;
    if (result == InstallResult::Installed) {
        // Only now is the package on the device under its name.
        m_nRefresh = 2;
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
    if (m_copying || m_closing)
        return;
    m_nRefresh = 1;
    m_closing = true;
    QMetaObject::invokeMethod(this, &InstWindow::closeModalWindow, Qt::QueuedConnection);
}

void InstWindow::closeModalWindow() { done(m_nRefresh == 2 ? QDialog::Accepted : QDialog::Rejected); }

// Escape and the close box end up here: while the loop runs they count as CancelBook.
void InstWindow::reject()
{
    if (m_copying || m_closing)
        return;
    if (m_running) {
        CancelBook();
        return;
    }
    QDialog::reject();
}

void InstWindow::closeEvent(QCloseEvent* event)
{
    if (m_copying) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
