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
    // Packages go into the package folder `pathKavo` names at the start of each batch.
    InstallBatch(QWidget* window, std::function<QString()> pathKavo, QObject* parent = nullptr);

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
    // A batch has ended; `installed` when at least one package went onto the pen.
    void finished(bool installed);

private:
    QWidget* m_window;
    std::function<QString()> m_pathKavo;
    QPointer<InstWindow> instWindowController;
    QString m_lastPackageFolder;
    bool m_installing = false;
};
