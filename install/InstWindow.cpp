#include "InstWindow.h"

#include "BookHeader.h"
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
    if (windowShown)
        QMetaObject::invokeMethod(
            this, [this, hook = windowShown] { hook(this); }, Qt::QueuedConnection);
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
    dtBookOid->setText(proposeBookOid(m_pathKavo, extBook));
    dtBookOid->selectAll();
    dtBookOid->setFocus();
}

void InstWindow::InstallBook()
{
    if (m_copying || m_closing)
        return;
    const QString bookOid = dtBookOid->text();
    const QString offsetOid = dtOffsetOid->text();
    QString message = checkStickerTexts(bookOid, offsetOid);
    // Any entry takes the name, a dangling link too: refuse now rather than after the copy.
    if (message.isEmpty() && isPackageNameTaken(m_pathKavo, packageFileName(bookOid, extBook)))
        message = InstallMessage::Exists;
    if (!message.isEmpty()) {
        showMessage(dtInfo, message);
        return;
    }

    dtInfo->setText(InstallMessage::Installing);
    setEditing(false);
    const qint64 chunks = chunkCount(QFileInfo(m_pathBook).size());
    prInstall->setRange(0, int(std::min<qint64>(chunks + 1, INT_MAX)));
    prInstall->setValue(0);
    prInstall->show();

    m_copying = true;
    const InstallRequest request { m_pathBook, m_pathKavo, bookOid, offsetOid.toInt(), extBook, nTypeBook };
    const InstallOptions options = m_options;
    m_worker.reset(QThread::create([this, request, options] {
        const auto progress = [this](qint64 chunk) {
            QMetaObject::invokeMethod(
                this, [this, chunk] { prInstall->setValue(int(std::min<qint64>(chunk, INT_MAX))); },
                Qt::QueuedConnection);
        };
        const InstallResult result = installPackage(request, progress, options);
        QMetaObject::invokeMethod(
            this, [this, result] { copyFinished(result); }, Qt::QueuedConnection);
    }));
    m_worker->start();
}

void InstWindow::copyFinished(InstallResult result)
{
    m_worker->wait();
    m_worker.reset();
    m_copying = false;
    if (result == InstallResult::Installed) {
        // Only now is the package on the device under its name.
        m_nRefresh = 2;
        m_closing = true;
        QMetaObject::invokeMethod(this, &InstWindow::closeModalWindow, Qt::QueuedConnection);
        return;
    }
    showMessage(dtInfo, messageFor(result));
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
