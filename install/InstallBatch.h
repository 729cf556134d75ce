#pragma once

#include "InstWindow.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

class QFileDialog;
class QWidget;

// Packages installed one after the other: the files chosen in the install button's file dialog
// or dropped on the window, one install dialog each.
class InstallBatch : public QObject {
    Q_OBJECT
public:
    // Where a batch installs: the pen's door (which also names its package folder), taken at the
    // start of each batch, and the text that names the pen.
    struct Target {
        std::shared_ptr<PenDoor> door;
        QString penName;
    };
    InstallBatch(QWidget* window, std::function<Target()> target, QObject* parent = nullptr);

    // Tests answer the file dialog through this hook instead of a person.
    static inline std::function<void(QFileDialog*)> fileDialogShown;

    // Opens the file dialog, window-modal; the packages chosen are installed.
    void choosePackages();
    // One install dialog per package, one after the other; each proposes its number from what
    // is on the pen by then, so the packages installed before it count.
    void installFiles(const QStringList& paths);

    // The install dialog open now, or the last one shown.
    InstWindow* dialog() const { return instWindowController; }

signals:
    // A batch has ended; `installed` when at least one package went onto the pen, `cancelled`
    // when the user stopped a copy.
    void finished(bool installed, bool cancelled);

private:
    QWidget* m_window;
    std::function<Target()> m_target;
    QPointer<InstWindow> instWindowController;
    QString m_lastPackageFolder;
    bool m_installing = false;
};
