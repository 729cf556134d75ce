#pragma once

#include <QObject>
#include <QStringList>

class QWidget;

// Lets files be dropped anywhere on the main window. Line edits take text drops of their own;
// a drag that carries local files is taken over for the window on every child as well.
class PackageDropHandler : public QObject {
    Q_OBJECT
public:
    explicit PackageDropHandler(QWidget* window);

signals:
    // The packages among the dropped files, in order, and the names of the rest.
    void filesDropped(const QStringList& packages, const QStringList& refused);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
