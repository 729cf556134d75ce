#pragma once

#include "AppDelegate.h"

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <memory>

class DiskService;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTableView;

// Drives the main window as a user would, on pens stored as the device code would store them
// and volumes that are plain folders (BSD name -> folder in `volumes`), or the system's own
// mounts when asked for. USB monitoring is off.
// Every action that starts work on a pen waits until the pen has nothing left to do and the
// results are applied; a wait that never ends fails the test.
class MainWindowDriver {
public:
    // The disk service replaces the real one before the window is set up, when given.
    explicit MainWindowDriver(std::unique_ptr<DiskService> disks = nullptr);
    // Volumes are found where the system mounted them, as the program finds them.
    struct SystemMounts { };
    explicit MainWindowDriver(SystemMounts);
    // Every driver watches that the window's thread opens no pen file (MainThreadGuard.h).
    ~MainWindowDriver();

    AppDelegate app;
    QHash<QString, QString> volumes;

    // The widget of that object name; there must be one.
    template <typename T = QWidget> T* widget(const QString& name) const
    {
        T* found = app.window()->findChild<T*>(name);
        Q_ASSERT_X(found, "widget", qPrintable(name));
        return found;
    }
    QComboBox* listKavo() const;
    QTableView* listBook() const;
    QLineEdit* field(const QString& name) const;
    QPushButton* button(const QString& name) const;
    QString info() const;

    // Stores a pen whose volume is `volume` (ending in a slash) and product.ini holds `ini`.
    void addPen(const QString& bsdName, const QString& volume, const QByteArray& ini = {});
    void selectPen(int index);

    // The texts of one column of the package table, top to bottom; the row showing a sticker
    // label, or -1.
    QStringList column(int column) const;
    int rowOf(const QString& stat) const;
    void clickRow(int row, Qt::KeyboardModifiers modifiers = {});
    // Scrolls to the row showing that sticker label and clicks it.
    void select(const QString& stat, Qt::KeyboardModifiers modifiers = {});
    void clickHeader(int section);
    void click(QPushButton* button);

    // Types like a user where a key can produce the text (full-width digits come from an
    // input method, so they are set directly); a disabled field keeps what the window put there
    // unless the case says otherwise.
    static void type(QLineEdit* edit, const QString& text);
    // Types the book number and the start sticker and applies them.
    void apply(const QString& book, const QString& start);

    // Waits for the pen's background jobs; false when they do not end in time.
    bool waitForPen(int timeoutMs = 30000) const;
};
