#include "InstallBatch.h"

#include "Catalogue.h"
#include "InstallTexts.h"
#include "PackageFileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>

InstallBatch::InstallBatch(QWidget* window, std::function<Target()> target, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_target(std::move(target))
{
}

void InstallBatch::choosePackages()
{
    auto* dialog = new PackageFileDialog(m_window);
    dialog->setWindowTitle(InstallText::ChoosePackage);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilter(InstallText::PackageFilter);
    dialog->setWindowModality(Qt::WindowModal);
    // Start where the last package came from, else in the home folder, never the program's own.
    dialog->setDirectory(m_lastPackageFolder.isEmpty() ? QDir::homePath() : m_lastPackageFolder);
    // finished() comes after the panel has been hidden, so the install dialog replaces it.
    connect(dialog, &QFileDialog::finished, this, [this, dialog](int result) {
        const QStringList files = dialog->selectedFiles();
        // A native dialog does not ask PackageFileDialog::accept(): check the choice here too.
        if (result == QDialog::Accepted && !files.isEmpty()
            && std::all_of(files.cbegin(), files.cend(), isPackageSource)) {
            m_lastPackageFolder = QFileInfo(files.first()).absolutePath();
            installFiles(files);
        }
        // Only now: the install dialog's nested loop would delete the panel while it is still
        // emitting finished() when no outer loop runs yet.
        dialog->deleteLater();
    });
    dialog->open();
    if (fileDialogShown)
        fileDialogShown(dialog);
}

void InstallBatch::installFiles(const QStringList& paths)
{
    // A modal install dialog blocks the window's input; this keeps a batch from ever nesting.
    if (m_installing)
        return;
    m_installing = true;
    const auto done = qScopeGuard([this] { m_installing = false; });
    const Target target = m_target();
    const QString pathKavo = target.door ? target.door->packageDirectory() : QString();
    bool installed = false;
    bool cancelled = false;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (instWindowController) {
            instWindowController->close();
            delete instWindowController.data();
        }
        instWindowController = new InstWindow(m_window);
        if (paths.size() > 1)
            instWindowController->setWindowTitle(QStringLiteral("%1（%2/%3）")
                                                     .arg(instWindowController->windowTitle())
                                                     .arg(i + 1)
                                                     .arg(paths.size()));
        instWindowController->setNRefresh(0);
        instWindowController->setPathKavo(pathKavo);
        instWindowController->setPenDoor(target.door);
        instWindowController->setPenName(target.penName);
        instWindowController->setPathBook(paths[i]);
        instWindowController->setNameBook(ReadBookName(paths[i], PenLinks::Follow));
        instWindowController->showWindow();
        if (instWindowController && instWindowController->nRefresh() == 2)
            installed = true;
        if (instWindowController && instWindowController->result() == InstallResult::Cancelled) {
            // The user stopped a copy: the rest of the batch is not wanted either.
            cancelled = true;
            break;
        }
    }
    emit finished(installed, cancelled);
}
