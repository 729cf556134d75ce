#include "AppDelegate.h"
#include "BackupManifest.h"
#include "ConflictWindow.h"
#include "MainWindowDriver.h"
#include "PackageBuilder.h"
#include "PenCopyActions.h"
#include "PenJobs.h"
#include "Texts.h"
#include "TransferWindow.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSemaphore>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace {

// The main window with two pens of the same model, whose volumes are plain folders.
struct TwoPens {
    QTemporaryDir root;
    MainWindowDriver driver;
    QString summary; // of the last transfer window

    TwoPens()
    {
        TransferWindow::finishedHook = [this](TransferWindow& window) {
            summary = window.summary()->toPlainText();
            window.closeButton()->click();
        };
        for (const QString& pen : { QStringLiteral("sdb1"), QStringLiteral("sdc1") }) {
            const QString volume = root.filePath(pen == "sdb1" ? "PEN ONE" : "PEN TWO") + "/";
            QDir().mkpath(volume + "USER/CUSTOM");
            driver.volumes.insert(pen, volume);
        }
    }
    ~TwoPens()
    {
        TransferWindow::finishedHook = nullptr;
        ConflictWindow::shownHook = nullptr;
        PenCopyActions::folderChooser = nullptr;
        PenCopyActions::penChooser = nullptr;
    }
    // product.ini of 25 bytes or more: the serial is bytes 14 to 24.
    void plug(const QString& bsdName)
    {
        const QByteArray ini
            = bsdName == "sdb1" ? "[SYS]\r\nSerial=PENSERIAL01\r\n" : "[SYS]\r\nSerial=PENSERIAL02\r\n";
        driver.addPen(bsdName, driver.volumes.value(bsdName), ini);
    }
    void plugBoth()
    {
        plug("sdb1");
        plug("sdc1");
    }
    QString packages(const QString& bsdName) const { return driver.volumes.value(bsdName) + "USER/CUSTOM/"; }
};

QStringList names(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

}

class BackupUiTest : public QObject {
    Q_OBJECT
private slots:
    void pensToldApart();
    void severalRowsSelected();
    void backupAndRestoreThroughTheWindow();
    void copySelectedRowsToTheOtherPen();
    void backupCancelledLeavesNoPackage();
};

void BackupUiTest::pensToldApart()
{
    TwoPens w;
    w.plugBoth();
    const QComboBox* selector = w.driver.widget<QComboBox>("listKavo");
    QCOMPARE(selector->count(), 2);
    // The item texts stay as they are, the same for both pens; the tooltips differ.
    QCOMPARE(selector->itemText(0), selector->itemText(1));
    const QString first = selector->itemData(0, Qt::ToolTipRole).toString();
    const QString second = selector->itemData(1, Qt::ToolTipRole).toString();
    QVERIFY2(first.contains("PENSERIAL01") && first.contains("PEN ONE"), qPrintable(first));
    QVERIFY2(second.contains("PENSERIAL02") && second.contains("PEN TWO"), qPrintable(second));
    QVERIFY(first.contains(QStringLiteral("可用")));
    QCOMPARE(w.driver.widget<QLabel>("dtPenInfo")->text(), QStringLiteral("卷标：PEN ONE"));
    QCOMPARE(w.driver.widget<QLineEdit>("snKavo")->toolTip(), first);
    w.driver.selectPen(1);
    QCOMPARE(w.driver.widget<QLabel>("dtPenInfo")->text(), QStringLiteral("卷标：PEN TWO"));
}

void BackupUiTest::severalRowsSelected()
{
    TwoPens w;
    PackageBuilder(512)
        .title(QStringLiteral("数学"))
        .bytesAt(379, le32(7))
        .writeTo(w.packages("sdb1") + "012.dar");
    PackageBuilder(512).title(QStringLiteral("语文")).writeTo(w.packages("sdb1") + "013.das");
    w.plug("sdb1");
    // One pen: nothing to copy to.
    w.driver.select(QStringLiteral("自制-012"));
    QVERIFY(!w.driver.button("btnCopy")->isEnabled());
    w.plug("sdc1");
    QVERIFY(!w.driver.button("btnCopy")->isEnabled()); // the rescan cleared the selection

    // One row: the edit area as always.
    w.driver.select(QStringLiteral("自制-012"));
    QVERIFY(w.driver.button("btnCopy")->isEnabled());
    QVERIFY(w.driver.button("btnApply")->isEnabled());
    QCOMPARE(w.driver.widget<QLineEdit>("dtBookOid")->text(), QStringLiteral("012"));
    QCOMPARE(w.driver.widget<QLineEdit>("dtOffsetOid")->text(), QStringLiteral("0007"));
    // Two rows: no single package to edit or remove; the fields keep their text.
    w.driver.select(QStringLiteral("智能-013"), Qt::ControlModifier);
    QCOMPARE(w.driver.app.selectedBooks().size(), 2);
    QVERIFY(w.driver.button("btnCopy")->isEnabled());
    for (const char* name : { "btnApply", "btnRemove" })
        QVERIFY(!w.driver.button(name)->isEnabled());
    for (const char* name : { "dtBookName", "dtBookOid", "dtOffsetOid" })
        QVERIFY(!w.driver.widget<QLineEdit>(name)->isEnabled());
    QCOMPARE(w.driver.widget<QLineEdit>("dtBookOid")->text(), QStringLiteral("012"));
    // Back to one row.
    w.driver.select(QStringLiteral("智能-013"));
    QVERIFY(w.driver.button("btnApply")->isEnabled());
    QCOMPARE(w.driver.widget<QLineEdit>("dtBookOid")->text(), QStringLiteral("013"));
}

void BackupUiTest::backupAndRestoreThroughTheWindow()
{
    TwoPens w;
    const QByteArray maths = PackageBuilder(3000).title(QStringLiteral("数学")).bytes();
    const QByteArray story = PackageBuilder(900).title(QStringLiteral("故事")).bytes();
    writeFile(w.packages("sdb1") + "012.dar", maths);
    writeFile(w.packages("sdb1") + "014.dsr", story);
    const QByteArray other = PackageBuilder(100).title(QStringLiteral("别的")).bytes();
    writeFile(w.packages("sdc1") + "012.dar", other);
    w.plugBoth();

    const QString folder = w.root.filePath("backup");
    QDir().mkpath(folder);
    PenCopyActions::folderChooser = [&](const QString&) { return folder; };
    w.driver.click(w.driver.button("btnBackup"));
    QVERIFY2(w.summary.contains(QStringLiteral("已备份 2 个")), qPrintable(w.summary));
    QCOMPARE(names(folder), QStringList({ "012.dar", "014.dsr", ManifestFileName }));
    QCOMPARE(BackupManifest::read(folder)->serial, QStringLiteral("PENSERIAL01"));

    // Restored onto the second pen, where 012.dar is taken: the user moves it to 001.
    w.driver.selectPen(1);
    QStringList offered;
    ConflictWindow::shownHook = [&](ConflictWindow& ask) {
        for (QComboBox* choice : ask.choices()) {
            offered << choice->itemText(choice->count() - 1);
            choice->setCurrentIndex(1);
        }
        ask.findChild<QPushButton*>("btnContinue")->click();
    };
    w.driver.click(w.driver.button("btnRestore"));
    QCOMPARE(offered, QStringList { QStringLiteral("改为 001.dar") });
    QVERIFY2(w.summary.contains(QStringLiteral("已复制 2 个，跳过 0 个，失败 0 个")), qPrintable(w.summary));
    QCOMPARE(names(w.packages("sdc1")), QStringList({ "001.dar", "012.dar", "014.dsr" }));
    QCOMPARE(readFile(w.packages("sdc1") + "001.dar"), maths);
    QCOMPARE(readFile(w.packages("sdc1") + "012.dar"), other);
    QCOMPARE(readFile(w.packages("sdc1") + "014.dsr"), story);
    // Rescanned: the table lists what the pen now holds.
    QVERIFY(
        w.driver.rowOf(QStringLiteral("自制-001")) >= 0 && w.driver.rowOf(QStringLiteral("故事-014")) >= 0);

    // Backing up again into the same folder copies nothing and says why.
    w.driver.selectPen(0);
    w.driver.click(w.driver.button("btnBackup"));
    QVERIFY2(w.summary.contains(QStringLiteral("只复制了新的和有改动的文件")), qPrintable(w.summary));
    QVERIFY2(w.summary.contains(QStringLiteral("已备份 0 个，未改动 2 个")), qPrintable(w.summary));
}

void BackupUiTest::copySelectedRowsToTheOtherPen()
{
    TwoPens w;
    QMap<QString, QByteArray> books;
    for (const QString& name : QStringList { "012.dar", "013.das", "014.dsr" }) {
        books[name] = PackageBuilder(700 + name.left(3).toInt()).title(name).bytes();
        writeFile(w.packages("sdc1") + name, books[name]);
    }
    w.plugBoth();
    w.driver.selectPen(1);
    w.driver.select(QStringLiteral("自制-012"));
    w.driver.select(QStringLiteral("故事-014"), Qt::ControlModifier);
    QStringList offered;
    PenCopyActions::penChooser = [&](const QStringList& pens) {
        offered = pens;
        return pens.value(0);
    };
    w.driver.click(w.driver.button("btnCopy"));
    QCOMPARE(offered.size(), 1);
    QVERIFY2(offered.first().contains("PENSERIAL01"), qPrintable(offered.first()));
    QVERIFY2(w.summary.contains(QStringLiteral("已复制 2 个")), qPrintable(w.summary));
    QCOMPARE(names(w.packages("sdb1")), QStringList({ "012.dar", "014.dsr" }));
    QCOMPARE(readFile(w.packages("sdb1") + "012.dar"), books["012.dar"]);
    QCOMPARE(readFile(w.packages("sdb1") + "014.dsr"), books["014.dsr"]);
}

// A backup runs in a window of its own while the main window goes on; 取消 stops it, and the
// folder holds no package it did not finish. Nothing is written to the pen meanwhile.
void BackupUiTest::backupCancelledLeavesNoPackage()
{
    TwoPens w;
    writeFile(w.packages("sdb1") + "012.dar", PackageBuilder(3000).title(QStringLiteral("数学")).bytes());
    w.plug("sdb1");
    const QString folder = w.root.filePath("backup");
    QDir().mkpath(folder);
    PenCopyActions::folderChooser = [&](const QString&) { return folder; };
    std::atomic<bool> started = false;
    QSemaphore release;
    PenJobs::jobStarting = [&](const QString& kind, std::stop_token stop) {
        if (!kind.isEmpty())
            return;
        started = true;
        while (!release.tryAcquire(1, 10) && !stop.stop_requested()) { }
    };
    const auto reset = qScopeGuard([] { PenJobs::jobStarting = nullptr; });
    QTest::mouseClick(w.driver.button("btnBackup"), Qt::LeftButton);
    QTRY_VERIFY(started);
    TransferWindow* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        window = window ? window : qobject_cast<TransferWindow*>(top);
    QVERIFY(window && window->isVisible() && !window->isModal());
    for (const char* name : { "btnInstall", "btnBackup", "btnRestore" })
        QVERIFY2(!w.driver.button(name)->isEnabled(), name);
    window->cancelButton()->click();
    QVERIFY(w.driver.waitForPen());
    QVERIFY2(w.summary.contains(AppText::Cancelled), qPrintable(w.summary));
    QVERIFY(!names(folder).contains("012.dar"));
    QVERIFY(w.driver.button("btnInstall")->isEnabled());
}

QTEST_MAIN(BackupUiTest)
#include "backup_ui_test.moc"
