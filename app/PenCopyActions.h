#pragma once

#include "ListData.h"
#include "PenRecord.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>

class QPushButton;
class QWidget;

// What the backup, restore and copy actions need to know of the main window's pens.
struct PenCopyContext {
    std::function<const PenRegistry&()> pens;
    std::function<const PenRecord*()> selectedPen;
    std::function<QString(const QString& bsdName)> volumePath;
    std::function<BookList()> selectedBooks; // the rows selected in the book table
    std::function<void()> rescan; // lists the selected pen again
    std::function<void(const QString&)> showInfo;
};

// The main window's "备份…", "从备份恢复…" and "复制到另一支笔…" actions: each asks what it
// needs (a folder, the choices for taken numbers, the other pen), runs in a TransferWindow and
// lists the pen again at the end.
class PenCopyActions : public QObject {
    Q_OBJECT
public:
    PenCopyActions(PenCopyContext context, QWidget* window, QPushButton* backup, QPushButton* restore,
        QPushButton* copy);

    // Enables the buttons for the pens and rows there are now.
    void update();

    // Test seams, answering the choosers instead of a person.
    static inline std::function<QString(const QString& caption)> folderChooser;
    static inline std::function<QString(const QStringList& pens)> penChooser;

public slots:
    void backup();
    void restore();
    void copyToPen();

private:
    QString chooseFolder(const QString& caption) const;
    void transfer(const QList<struct TransferItem>& items, const QString& pathKavo, const QString& task,
        const QStringList& refused);

    PenCopyContext m_context;
    QWidget* m_window;
    QPushButton* m_backup;
    QPushButton* m_restore;
    QPushButton* m_copy;
    QString m_lastFolder;
};
