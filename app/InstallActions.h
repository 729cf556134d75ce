#pragma once

#include "InstallBatch.h"

#include <QObject>

#include <functional>

class PenSession;
class QPushButton;
class QWidget;
struct PenRecord;

// What the install actions need to know of the main window.
struct InstallContext {
    std::function<const PenRecord*()> selectedPen;
    std::function<QString()> packageDirectory; // of the selected pen
    std::function<QString(const QString& bsdName)> penDetails; // names the pen in the dialog
    std::function<void()> relist; // lists the selected pen again
    std::function<void(const QString& message, bool news)> showInfo;
};

// The main window's 安装… and packages dropped on it: the package folder is looked at on the
// pen first, then the file chooser and one install dialog per package, each through the pen's
// door.
class InstallActions : public QObject {
    Q_OBJECT
public:
    InstallActions(InstallContext context, PenSession* session, QWidget* window, QPushButton* install);

    InstWindow* dialog() const { return m_batch->dialog(); }
    void InstallBook();
    void installDropped(const QStringList& packages, const QStringList& refused);

private:
    InstallContext m_context;
    PenSession* m_session;
    QPushButton* m_install;
    InstallBatch* m_batch;
};
