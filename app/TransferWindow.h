#pragma once

#include <QDialog>

#include <atomic>
#include <functional>
#include <memory>

namespace Ui {
class TransferWindow;
}
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The window of a backup, a restore or a copy between pens: a progress bar and a cancel button
// while the work runs on a thread of its own, then the summary and a close button.
class TransferWindow : public QDialog {
    Q_OBJECT
public:
    explicit TransferWindow(const QString& task, QWidget* parent = nullptr);
    ~TransferWindow() override;

    // Runs `work` on a worker thread and the window's loop until the user closes it after the
    // work has ended. `work` gets the cancel flag and reports through progress(); it returns
    // the summary. Returns the summary.
    QString run(const std::function<QString(const std::atomic_bool& cancelled)>& work);

    // Thread-safe: shown as soon as the window's thread gets to it.
    void progress(qint64 done, qint64 total, const QString& name);

    // Test seam: runs once the summary is shown, instead of waiting for the user.
    static inline std::function<void(TransferWindow&)> finishedHook;

    QProgressBar* progressBar() const;
    QPushButton* cancelButton() const;
    QPushButton* closeButton() const;
    QPlainTextEdit* summary() const;

protected:
    void reject() override;

private:
    std::unique_ptr<Ui::TransferWindow> m_ui;
    std::atomic_bool m_cancelled { false };
    bool m_running = false;
};
