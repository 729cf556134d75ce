#include "InstallBatch.h"

#include "Catalogue.h"
#include "PackageFileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>

namespace {
const QString ChoosePackageMessage = QStringLiteral("请选择需要安装的点读包或故事包");
}

InstallBatch::InstallBatch(QWidget* window, std::function<QString()> pathKavo, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_pathKavo(std::move(pathKavo))
{
}

void InstallBatch::choosePackages()
{
    auto* dialog = new PackageFileDialog(m_window);
    dialog->setWindowTitle(ChoosePackageMessage);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilter(QStringLiteral("点读包或故事包 (*.dab *.dsb)"));
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
    const QString pathKavo = m_pathKavo();
    bool installed = false;
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
        instWindowController->setPathBook(paths[i]);
        instWindowController->setNameBook(ReadBookName(paths[i], PenLinks::Follow));
        instWindowController->showWindow();
        if (instWindowController && instWindowController->nRefresh() == 2)
            installed = true;
    }
    emit finished(installed);
}
