#pragma once

#include "ListData.h"
#include "PenRecord.h"

#include <QObject>
#include <QString>

#include <functional>

class PenSession;
class QPushButton;
class QWidget;
class TransferWindow;
struct TransferPlan;

// What the backup, restore and copy actions need to know of the main window.
struct PenCopyContext {
    std::function<const PenRecord*()> selectedPen;
    std::function<BookList()> selectedBooks; // the rows selected in the book table
    std::function<QString(const QString& bsdName)> penDetails; // what tells the pen from others
    std::function<void()> rescan; // lists the selected pen again
    std::function<void(const QString&)> showInfo;
};

// The main window's "备份…", "从备份恢复…" and "复制到另一支笔…" actions: each asks what it
// needs (a folder, the choices for taken numbers, the other pen), runs as a job of the pen's
// session with a TransferWindow showing its progress, and lists the pen again at the end.
class PenCopyActions : public QObject {
    Q_OBJECT
public:
    PenCopyActions(PenCopyContext context, PenSession* session, QWidget* window, QPushButton* backup,
        QPushButton* restore, QPushButton* copy);

    // Enables the buttons: each needs a pen that may be written to (none while it is being
    // ejected or written), as the install does; the copy also needs another pen and rows.
    void update(bool mayWrite);

    // Test seams, answering the choosers instead of a person.
    static inline std::function<QString(const QString& caption)> folderChooser;
    static inline std::function<QString(const QStringList& pens)> penChooser;

public slots:
    void backup();
    void restore();
    void copyToPen();

private:
    QString chooseFolder(const QString& caption);
    void transfer(const QString& to, const QString& from, TransferPlan plan, const QString& task);
    TransferWindow* openWindow(const QString& task);
    QString serialOf(const QString& bsdName) const;

    PenCopyContext m_context;
    PenSession* m_session;
    QWidget* m_window;
    QPushButton* m_backup;
    QPushButton* m_restore;
    QPushButton* m_copy;
    QString m_lastFolder;
};
