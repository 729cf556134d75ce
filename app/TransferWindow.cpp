#include "TransferWindow.h"

#include "ui_TransferWindow.h"

#include <QThread>

TransferWindow::TransferWindow(const QString& task, QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::TransferWindow>())
{
    m_ui->setupUi(this);
    m_ui->dtTask->setText(task);
    m_ui->prTransfer->setRange(0, 1000);
    setWindowModality(Qt::ApplicationModal);
    connect(m_ui->btnCancel, &QPushButton::clicked, this, [this] {
        m_cancelled = true;
        m_ui->btnCancel->setEnabled(false);
        m_ui->dtCurrent->setText(QStringLiteral("正在取消，当前文件复制完后停止……"));
    });
    connect(m_ui->btnClose, &QPushButton::clicked, this, &QDialog::accept);
}

TransferWindow::~TransferWindow() = default;

QProgressBar* TransferWindow::progressBar() const { return m_ui->prTransfer; }
QPushButton* TransferWindow::cancelButton() const { return m_ui->btnCancel; }
QPushButton* TransferWindow::closeButton() const { return m_ui->btnClose; }
QPlainTextEdit* TransferWindow::summary() const { return m_ui->dtSummary; }

void TransferWindow::progress(qint64 done, qint64 total, const QString& name)
{
    QMetaObject::invokeMethod(
        this,
        [this, done, total, name] {
            if (m_cancelled)
                return;
            m_ui->prTransfer->setValue(total > 0 ? int(done * 1000 / total) : 0);
            m_ui->dtCurrent->setText(name);
        },
        Qt::QueuedConnection);
}

void TransferWindow::reject()
{
    // The window stays until the work has stopped: a file half copied is finished or removed.
    if (m_running)
        m_ui->btnCancel->click();
    else
        QDialog::reject();
}

QString TransferWindow::run(const std::function<QString(const std::atomic_bool& cancelled)>& work)
{
    QString summary;
    m_running = true;
    QThread* thread = QThread::create([&] { summary = work(m_cancelled); });
    connect(thread, &QThread::finished, this, [this, &summary] {
        m_running = false;
        m_ui->prTransfer->setValue(m_cancelled ? m_ui->prTransfer->value() : m_ui->prTransfer->maximum());
        m_ui->dtCurrent->clear();
        m_ui->dtSummary->setPlainText(summary);
        m_ui->dtSummary->setVisible(true);
        m_ui->btnCancel->setVisible(false);
        m_ui->btnClose->setVisible(true);
        m_ui->btnClose->setDefault(true);
        if (finishedHook)
            QMetaObject::invokeMethod(
                this, [this] { finishedHook(*this); }, Qt::QueuedConnection);
    });
    thread->start();
    exec();
    thread->wait();
    delete thread;
    return summary;
}
