#include "TransferWindow.h"

#include "Texts.h"
#include "ui_TransferWindow.h"

TransferWindow::TransferWindow(const QString& task, QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::TransferWindow>())
{
    m_ui->setupUi(this);
    // The task names folders and pens: shown as it is, never read as markup.
    m_ui->dtTask->setTextFormat(Qt::PlainText);
    m_ui->dtCurrent->setTextFormat(Qt::PlainText);
    m_ui->dtTask->setText(task);
    m_ui->prTransfer->setRange(0, 1000);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(m_ui->btnCancel, &QPushButton::clicked, this, &TransferWindow::cancel);
    connect(m_ui->btnClose, &QPushButton::clicked, this, &QDialog::accept);
}

TransferWindow::~TransferWindow() = default;

QProgressBar* TransferWindow::progressBar() const { return m_ui->prTransfer; }
QPushButton* TransferWindow::cancelButton() const { return m_ui->btnCancel; }
QPushButton* TransferWindow::closeButton() const { return m_ui->btnClose; }
QPlainTextEdit* TransferWindow::summary() const { return m_ui->dtSummary; }

void TransferWindow::cancel()
{
    if (!m_running || m_cancelled)
        return;
    m_cancelled = true;
    m_ui->btnCancel->setEnabled(false);
    m_ui->dtCurrent->setText(AppText::Cancelling);
    if (m_cancel)
        m_cancel();
}

void TransferWindow::progress(qint64 done, qint64 total, const QString& name)
{
    if (m_cancelled || !m_running)
        return;
    m_ui->prTransfer->setValue(total > 0 ? int(done * 1000 / total) : 0);
    m_ui->dtCurrent->setText(name);
}

void TransferWindow::reject()
{
    // The window stays until the work has stopped: a file half copied is finished or removed.
    if (m_running)
        cancel();
    else
        QDialog::reject();
}

void TransferWindow::finish(const QString& summary)
{
    m_running = false;
    m_ui->prTransfer->setValue(m_cancelled ? m_ui->prTransfer->value() : m_ui->prTransfer->maximum());
    m_ui->dtCurrent->clear();
    m_ui->dtSummary->setPlainText(summary);
    m_ui->dtSummary->setVisible(true);
    m_ui->btnCancel->setVisible(false);
    m_ui->btnClose->setVisible(true);
    m_ui->btnClose->setDefault(true);
    m_ui->btnClose->setFocus();
    if (finishedHook)
        finishedHook(*this);
}
