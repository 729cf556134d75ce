#pragma once

#include <QDialog>

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
// while the work runs as a job of the pen's session, then the summary and a close button. It
// does not block the main window: the session decides what else may be done to the pen
// meanwhile. It deletes itself once closed.
class TransferWindow : public QDialog {
    Q_OBJECT
public:
    explicit TransferWindow(const QString& task, QWidget* parent = nullptr);
    ~TransferWindow() override;

    // What 取消, Escape and the close box do while the work runs: ask the job to stop.
    void setCancel(std::function<void()> cancel) { m_cancel = std::move(cancel); }
    void progress(qint64 done, qint64 total, const QString& name);
    // The work has ended: the summary, and the close button.
    void finish(const QString& summary);
    bool isRunning() const { return m_running; }

    // Test seam: runs once the summary is shown, instead of waiting for the user.
    static inline std::function<void(TransferWindow&)> finishedHook;

    QProgressBar* progressBar() const;
    QPushButton* cancelButton() const;
    QPushButton* closeButton() const;
    QPlainTextEdit* summary() const;

protected:
    void reject() override;

private:
    void cancel();

    std::unique_ptr<Ui::TransferWindow> m_ui;
    std::function<void()> m_cancel;
    bool m_running = true;
    bool m_cancelled = false;
};
