#pragma once

#include "PackageCopy.h"
#include "PenDoor.h"

#include <QDialog>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace Ui {
class InstWindow;
}

// The modal install dialog: proposes a free book sticker number, checks the two sticker
// numbers and copies the chosen package onto the pen. Everything that reads or writes the pen
// (the proposal, the check that the name is free, the copy) runs as a job of the pen's session,
// through the door it was given, while this dialog's own modal loop keeps painting; 安装 is
// offered once the proposal is in. From its press until the copy has ended (or the check
// refused it) the fields are disabled; 取消, Escape and the close box then stop the copy, which
// leaves nothing on the pen.
class InstWindow : public QDialog {
    Q_OBJECT
public:
    explicit InstWindow(QWidget* parent = nullptr);
    ~InstWindow() override;

    int nRefresh() const { return m_nRefresh; }
    void setNRefresh(int value) { m_nRefresh = value; }
    QString pathKavo() const { return m_pathKavo; }
    void setPathKavo(const QString& value) { m_pathKavo = value; }
    QString pathBook() const { return m_pathBook; }
    void setPathBook(const QString& value) { m_pathBook = value; }
    QString nameBook() const { return m_nameBook; }
    void setNameBook(const QString& value) { m_nameBook = value; }
    QString extBookValue() const { return extBook; }
    int nTypeBookValue() const { return nTypeBook; }
    // From the press of 安装 until the install has ended or its check refused it.
    bool isCopying() const { return m_copying; }
    // From windowDidLoad until the proposed number is in the field.
    bool isProposing() const { return m_proposing; }

    // The pen's door: every read and write of the pen goes through it. Set before showWindow().
    void setPenDoor(std::shared_ptr<PenDoor> door) { m_door = std::move(door); }
    // Names the pen the package goes to (two pens of one model look alike in the selector).
    void setPenName(const QString& text);
    // How the last copy ended; Installed until one has.
    InstallResult result() const { return m_result; }

    // Test seams: the random source and free-space query of the copy.
    void setInstallOptions(const InstallOptions& options) { m_options = options; }
    // Called inside the modal loop, once the dialog is shown with its proposal, so that a test
    // can drive it.
    static inline std::function<void(InstWindow*)> windowShown;

    // Prepares the dialog and runs it modally; returns when it has been installed or cancelled.
    void showWindow();
    void windowDidLoad();
    bool validateNumberByASCII(const QString& text) const;

public slots:
    void InstallBook();
    void CancelBook();
    void closeModalWindow();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void proposalFinished(const QString& bookOid);
    void checkFinished(bool taken, const QString& bookOid, const QString& offsetOid);
    void startCopy(const QString& bookOid, const QString& offsetOid);
    void copyFinished(InstallResult result);
    void refused(JobRefusal why);
    void setEditing(bool editing);

    std::unique_ptr<Ui::InstWindow> m_ui;

    // Outlets, named as the layout's widgets.
    QPushButton* btnInstall = nullptr;
    QPushButton* btnCancel = nullptr;
    QLineEdit* dtBookName = nullptr;
    QLineEdit* dtBookOid = nullptr;
    QLineEdit* dtOffsetOid = nullptr;
    QLabel* ttBookOid = nullptr;
    QLabel* ttOffsetOid = nullptr;
    QLabel* dtInfo = nullptr;
    QProgressBar* prInstall = nullptr;

    QString m_pathKavo;
    QString m_pathBook;
    QString m_nameBook;
    QString extBook;
    int nTypeBook = 0;
    int m_nRefresh = 0;

    InstallOptions m_options;
    std::shared_ptr<PenDoor> m_door;
    quint64 m_copyJob = 0;
    InstallResult m_result = InstallResult::Installed;
    bool m_loaded = false;
    bool m_running = false; // inside showWindow's modal loop
    bool m_copying = false;
    bool m_cancelling = false; // the copy was asked to stop
    bool m_proposing = false;
    bool m_shownHookDue = false; // the test hook runs when the proposal is in
    bool m_closing = false; // closeModalWindow has been scheduled
};
