#pragma once

#include <QFileDialog>
#include <QList>
#include <QStringList>
#include <QUrl>

// Whether a path names an existing package file offered for installation: a regular file with
// the extension "dab" or "dsb" (in any case, as the file dialog's filter matches).
bool isPackageSource(const QString& path);

// Files dropped on the main window: the packages to install, in the order given, and the
// names of everything else (other files, folders, remote URLs), which is not installed.
struct DroppedFiles {
    QStringList packages;
    QStringList refused;
};
DroppedFiles sortDroppedFiles(const QList<QUrl>& urls);


// The file dialog of the install button. A name filter only hides files; a name typed into the
// dialog would still be accepted, so accept() refuses a choice that holds an existing file that
// is not a package.
class PackageFileDialog : public QFileDialog {
    Q_OBJECT
public:
    using QFileDialog::QFileDialog;
    void accept() override;
};
