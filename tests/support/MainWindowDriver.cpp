#include "MainWindowDriver.h"

#include "DiskService.h"
#include "MainThreadGuard.h"
#include "PenJobsWait.h"
#include "PenRecord.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTableView>

MainWindowDriver::MainWindowDriver(std::unique_ptr<DiskService> disks)
{
    app.setUsbMonitoringEnabled(false);
    if (disks)
        app.setDiskService(std::move(disks));
    app.setVolumePathResolver([this](const QString& name) { return volumes.value(name); });
    // A pen's file opened on the window's thread fails the test.
    setMainThreadPenGuard(true);
    app.applicationDidFinishLaunching();
}

MainWindowDriver::~MainWindowDriver() { setMainThreadPenGuard(false); }

MainWindowDriver::MainWindowDriver(SystemMounts)
{
    app.setUsbMonitoringEnabled(false);
    setMainThreadPenGuard(true);
    app.applicationDidFinishLaunching();
}

QComboBox* MainWindowDriver::listKavo() const { return widget<QComboBox>(QStringLiteral("listKavo")); }

QTableView* MainWindowDriver::listBook() const { return widget<QTableView>(QStringLiteral("listBook")); }

QLineEdit* MainWindowDriver::field(const QString& name) const { return widget<QLineEdit>(name); }

QPushButton* MainWindowDriver::button(const QString& name) const { return widget<QPushButton>(name); }

QString MainWindowDriver::info() const { return widget<QLabel>(QStringLiteral("dtInfo"))->text(); }

bool MainWindowDriver::waitForPen(int timeoutMs) const { return waitForPenJobs(app, timeoutMs); }

void MainWindowDriver::addPen(const QString& bsdName, const QString& volume, const QByteArray& ini)
{
    volumes.insert(bsdName, volume);
    app.session()->storePen(BuildPenRecord("vorna", "Pen", "0100", bsdName, ini));
    QVERIFY(waitForPen());
}

void MainWindowDriver::selectPen(int index)
{
    listKavo()->setCurrentIndex(index);
    app.OnComboboxChanged();
    QVERIFY(waitForPen());
}

QStringList MainWindowDriver::column(int column) const
{
    QStringList cells;
    const QAbstractItemModel* model = listBook()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        cells << model->index(row, column).data().toString();
    return cells;
}

int MainWindowDriver::rowOf(const QString& stat) const { return int(column(1).indexOf(stat)); }

void MainWindowDriver::clickRow(int row, Qt::KeyboardModifiers modifiers)
{
    const QRect cell = listBook()->visualRect(listBook()->model()->index(row, 0));
    QTest::mouseClick(listBook()->viewport(), Qt::LeftButton, modifiers, cell.center());
    QVERIFY(waitForPen());
}

void MainWindowDriver::select(const QString& stat, Qt::KeyboardModifiers modifiers)
{
    const int row = rowOf(stat);
    QVERIFY2(row >= 0, qPrintable(stat));
    listBook()->scrollTo(listBook()->model()->index(row, 0));
    clickRow(row, modifiers);
}

void MainWindowDriver::clickHeader(int section)
{
    QHeaderView* header = listBook()->horizontalHeader();
    const QPoint centre(
        header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
    QVERIFY(waitForPen());
}

void MainWindowDriver::click(QPushButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(waitForPen());
}

void MainWindowDriver::type(QLineEdit* edit, const QString& text)
{
    if (!edit->isEnabled() || text.toLatin1() != text.toUtf8()) {
        edit->setText(text);
        return;
    }
    edit->clear();
    QTest::keyClicks(edit, text);
}

void MainWindowDriver::apply(const QString& book, const QString& start)
{
    type(field(QStringLiteral("dtBookOid")), book);
    type(field(QStringLiteral("dtOffsetOid")), start);
    click(button(QStringLiteral("btnApply")));
}
