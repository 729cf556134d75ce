#pragma once

#include <QFileDialog>

// Whether a path names an existing package file offered for installation: a regular file with
// the extension "dab" or "dsb" (in any case, as the file dialog's filter matches).
bool isPackageSource(const QString& path);

// The file dialog of the install button. A name filter only hides files; a name typed into the
// dialog would still be accepted, so accept() refuses any existing file that is not a package.
class PackageFileDialog : public QFileDialog {
    Q_OBJECT
public:
    using QFileDialog::QFileDialog;
    void accept() override;
};
