#include "AppDelegate.h"
#include "BookHeader.h"
#include "Catalogue.h"
#include "DiskService.h"
#include "LoopPen.h"
#include "MainThreadGuard.h"
#include "MainWindowDriver.h"
#include "PackageBuilder.h"
#include "PackageFolder.h"
#include "PenJobs.h"
#include "PenRecord.h"
#include "ScratchMount.h"
#include "Texts.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSemaphore>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

#include <unistd.h>

namespace {

// Holds the window's pen jobs of one kind where a slow pen would: each waits until released,
// or until it is asked to stop (then it notes that), or five seconds at most.
struct HeldJobs {
    QString kind;
    QSemaphore release;
    std::atomic<int> held = 0;
    std::atomic<bool> stopSeen = false;

    explicit HeldJobs(const QString& jobKind)
        : kind(jobKind)
    {
        PenJobs::jobStarting = [this](const QString& started, std::stop_token stop) {
            if (started != kind)
                return;
            ++held;
            for (int waited = 0; waited < 5000; waited += 10) {
                if (release.tryAcquire(1, 10))
                    return;
                if (stop.stop_requested()) {
                    stopSeen = true;
                    return;
                }
            }
        };
    }
    ~HeldJobs() { PenJobs::jobStarting = nullptr; }
};

bool busyCursor(const QWidget* widget)
{
    return widget->testAttribute(Qt::WA_SetCursor) && widget->cursor().shape() == Qt::BusyCursor;
}

} // namespace

class AppTest : public QObject {
    Q_OBJECT
private slots:
    void realMountReadThroughWindow();
    void volumeFollowedAfterRecognition();
    void refreshReadsSerialAgain();

    void freeSpaceShown();

    void launchWithoutPen();
    void pensInKeyOrder();
    void scanAndSelection();
    void unmountedPenIsNeverWritten();
    void packageFolderProblemIsShown_data();
    void packageFolderProblemIsShown();

    void sortByColumnHeader();
    void sortedRowIsTheOneActedOn();

    void stickerChangeThroughWindow();
    void stickerChangeFailureIsReported();
    void removalConfirmedAndCancelled();
    void failedRemovalIsReported();

    void penJobsOrderAndSupersede();
    void newerListingSupersedesOlder();
    void selectorFilledWithoutReadingThePen();
    void startStickerReadBeforeChange();
    void penPulledDuringJob_data();
    void penPulledDuringJob();
    void closingDuringJob();
    void ejectWaitsForWriteAndKeepsItsMessage();
};

void AppTest::realMountReadThroughWindow()
{
    LoopPen pen("[SYS]\r\nSerial=PEN20261210X\r\n", QStringLiteral("数学"));
    if (!pen.isMounted())
        QSKIP(qPrintable(pen.reason()));

    // End to end: the pen's serial and packages are read from the real mount.
    MainWindowDriver w { MainWindowDriver::SystemMounts() };
    w.addPen(pen.loopName(), QString(), readFile(pen.mountPoint() + "/SYS/INI/product.ini"));
    QCOMPARE(w.app.serial(), QStringLiteral("PEN20261210"));
    QCOMPARE(w.app.packageDirectory(), pen.mountPoint() + "/USER/CUSTOM/");
    QCOMPARE(w.app.books().size(), 1);
    QCOMPARE(w.app.books().first().name, QStringLiteral("数学"));
}

void AppTest::volumeFollowedAfterRecognition()
{
    LoopPen pen("[SYS]\r\nSerial=PEN20261210X\r\n", QStringLiteral("数学"));
    if (!pen.isMounted())
        QSKIP(qPrintable(pen.reason()));
    QVERIFY(pen.unmount());

    // Recognised before anybody mounted it: listed, nothing to read yet.
    MainWindowDriver w { MainWindowDriver::SystemMounts() };
    w.addPen(pen.loopName(), QString());
    AppDelegate& app = w.app;
    QCOMPARE(app.serial(), QString());
    QVERIFY(app.books().isEmpty());

    // The desktop mounts it a moment later: serial and packages follow without user action.
    QVERIFY(pen.mount());
    QTRY_COMPARE(app.serial(), QStringLiteral("PEN20261210"));
    QCOMPARE(app.packageDirectory(), pen.mountPoint() + "/USER/CUSTOM/");
    QCOMPARE(app.books().size(), 1);

    // Another program unmounts it: nothing of it is listed any more.
    QVERIFY(pen.unmount());
    QTRY_VERIFY(app.books().isEmpty());
    QCOMPARE(app.packageDirectory(), QString());
    QCOMPARE(app.pens().size(), size_t(1));
}

void AppTest::refreshReadsSerialAgain()
{
    QTemporaryDir volume;
    writeFile(volume.filePath("SYS/INI/product.ini"), "[SYS]\r\nSerial=PEN20261210X\r\n");
    PackageBuilder(400).title("语文").writeTo(volume.filePath("USER/CUSTOM/001.dar"));
    MainWindowDriver w;
    w.addPen("sdb1", QString());
    QCOMPARE(w.app.serial(), QString());

    // Mounted where the program did not see it happen: refresh reads the serial too.
    w.volumes.insert("sdb1", volume.path() + "/");
    w.click(w.button("btnRefresh"));
    QCOMPARE(w.app.serial(), QStringLiteral("PEN20261210"));
    QCOMPARE(w.field("snKavo")->text(), QStringLiteral("PEN20261210"));
    QCOMPARE(w.app.books().size(), 1);
}

void AppTest::freeSpaceShown()
{
    // A volume of a known size: statvfs gives exact numbers to format.
    ScratchMount pen(4 * 1024 * 1024);
    if (!pen.isMounted())
        QSKIP(qPrintable(pen.reason()));
    MainWindowDriver w;
    QLabel* space = w.widget<QLabel>("dtSpace");
    QCOMPARE(space->text(), QString());
    w.addPen("sdb1", pen.path());
    QCOMPARE(space->text(), QStringLiteral("可用 4.2 MB，共 4.2 MB"));

    // Every scan asks again.
    QVERIFY(writeFile(pen.path() + "USER/CUSTOM/001.dar", PackageBuilder::pattern(1024 * 1024)));
    QCOMPARE(space->text(), QStringLiteral("可用 4.2 MB，共 4.2 MB"));
    w.click(w.button("btnRefresh"));
    QCOMPARE(space->text(), QStringLiteral("可用 3.1 MB，共 4.2 MB"));

    // A pen whose volume is not mounted shows nothing.
    w.addPen("sda1", QString());
    QCOMPARE(w.app.packageDirectory(), QString());
    QCOMPARE(space->text(), QString());
}

void AppTest::launchWithoutPen()
{
    MainWindowDriver w;
    QCOMPARE(w.app.window()->windowTitle(), QStringLiteral("点读笔管理"));
    QCOMPARE(w.listKavo()->count(), 1);
    QCOMPARE(w.listKavo()->currentIndex(), 0);
    QCOMPARE(w.listKavo()->currentText(), QStringLiteral("请连接点读系列产品！"));
    QVERIFY(!w.field("snKavo")->isEnabled());
    QVERIFY(w.field("snKavo")->text().isEmpty());
    QVERIFY(!w.button("btnInstall")->isEnabled());
    QVERIFY(!w.button("btnEject")->isEnabled());
    QVERIFY(w.button("btnRefresh")->isEnabled());
    QCOMPARE(w.listBook()->model()->rowCount(), 0);
    for (const char* name : { "dtBookName", "dtBookOid", "dtOffsetOid" })
        QVERIFY(!w.field(name)->isEnabled());
    QVERIFY(!w.button("btnRemove")->isEnabled());
    QVERIFY(!w.button("btnApply")->isEnabled());

    w.click(w.button("btnRefresh"));
    QCOMPARE(w.listKavo()->count(), 1);
    QCOMPARE(w.app.packageDirectory(), QString());
}

void AppTest::pensInKeyOrder()
{
    QTemporaryDir volumes;
    PackageBuilder().title("B-book").writeTo(volumes.filePath("b/USER/CUSTOM/001.dar"));
    PackageBuilder().title("C-book").writeTo(volumes.filePath("c/USER/CUSTOM/002.dar"));

    MainWindowDriver w;
    w.addPen("sdc1", volumes.filePath("c/"), "01234567890123SERIAL-CCCCC");
    QCOMPARE(w.column(0), QStringList({ "C-book" }));
    w.addPen("sdb1", volumes.filePath("b/"), "01234567890123SERIAL-BBBBB");

    // The newer pen comes first by key and is selected and scanned.
    QCOMPARE(w.listKavo()->count(), 2);
    QCOMPARE(w.listKavo()->currentIndex(), 0);
    QCOMPARE(w.field("snKavo")->text(), QStringLiteral("SERIAL-BBBB"));
    QVERIFY(w.field("snKavo")->isEnabled());
    QVERIFY(w.button("btnInstall")->isEnabled());
    QVERIFY(w.button("btnEject")->isEnabled());
    QCOMPARE(w.column(0), QStringList({ "B-book" }));

    // Picking the other pen scans it.
    w.listKavo()->setFocus();
    QTest::keyClick(w.listKavo(), Qt::Key_Down);
    QVERIFY(w.waitForPen());
    QCOMPARE(w.listKavo()->currentIndex(), 1);
    QCOMPARE(w.field("snKavo")->text(), QStringLiteral("SERIAL-CCCC"));
    QCOMPARE(w.column(0), QStringList({ "C-book" }));

    // The same pen recognised again replaces its record.
    w.addPen("sdc1", volumes.filePath("c/"), "01234567890123SERIAL-DDDDD");
    QCOMPARE(w.listKavo()->count(), 2);
    QCOMPARE(w.app.pens().at("sdc1").serialText(), QStringLiteral("SERIAL-DDDD"));
}

void AppTest::scanAndSelection()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    PackageBuilder(400)
        .title("语文")
        .bytesAt(BookHeader::StartStickerOffset, le32(5))
        .writeTo(dir + "012.dar");
    PackageBuilder(400).title("数学").writeTo(dir + "034.das");
    PackageBuilder(400)
        .title("UNB英语")
        .byteAt(161, 0x10)
        .byteAt(162, 0x20)
        .byteAt(141, 0x10 ^ 0x39)
        .byteAt(142, 0x20 ^ 0x30)
        .writeTo(dir + "056.dar");
    PackageBuilder(400).title("ATT012").writeTo(dir + "078.dar");

    MainWindowDriver w;
    w.addPen("sdb1", volume.path() + "/");
    QCOMPARE(w.app.packageDirectory(), dir);
    QStringList stats = w.column(1);
    stats.sort();
    QCOMPARE(stats, QStringList({ "智能-034", "自制-012", "自制-056", "自制-078" }));

    struct Case {
        const char *stat, *name, *bookOid, *offsetOid;
        bool offsetEnabled;
    };
    const Case cases[] = {
        { "自制-012", "语文", "012", "0005", true },
        { "智能-034", "数学", "034", "0000", false },
        { "自制-056", "英语", "056", "12345", true }, // 0x3039
        { "自制-078", "语文(012)", "078", "0000", false },
    };
    for (const Case& c : cases) {
        w.select(QString::fromUtf8(c.stat));
        QCOMPARE(w.field("dtBookName")->text(), QString::fromUtf8(c.name));
        QCOMPARE(w.field("dtBookOid")->text(), QString::fromLatin1(c.bookOid));
        QCOMPARE(w.field("dtOffsetOid")->text(), QString::fromLatin1(c.offsetOid));
        QCOMPARE(w.field("dtOffsetOid")->isEnabled(), c.offsetEnabled);
        QVERIFY(w.field("dtBookOid")->isEnabled());
        QVERIFY(w.button("btnRemove")->isEnabled());
        QVERIFY(w.button("btnApply")->isEnabled());
    }

    // Deselecting disables the controls and keeps their text.
    w.listBook()->clearSelection();
    QVERIFY(!w.button("btnApply")->isEnabled());
    QVERIFY(!w.field("dtBookOid")->isEnabled());
    QCOMPARE(w.field("dtBookOid")->text(), QStringLiteral("078"));

    // A refresh rebuilds the table with nothing selected and empty fields.
    w.select("自制-012");
    w.click(w.button("btnRefresh"));
    QVERIFY(w.listBook()->selectionModel()->selectedRows().isEmpty());
    QVERIFY(w.field("dtBookName")->text().isEmpty());
    QVERIFY(w.field("dtOffsetOid")->text().isEmpty());
    QVERIFY(!w.button("btnRemove")->isEnabled());
}

void AppTest::unmountedPenIsNeverWritten()
{
    // The pen is known but its volume is not mounted: nothing is listed, and nothing is read
    // or written relative to the working directory.
    QTemporaryDir cwd;
    PackageBuilder().title("Trap").writeTo(cwd.filePath("USER/CUSTOM/001.dar"));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(cwd.path());
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });

    MainWindowDriver w;
    w.addPen("sdb1", QString());
    QCOMPARE(w.app.packageDirectory(), QString());
    QCOMPARE(w.listBook()->model()->rowCount(), 0);
    QVERIFY(w.button("btnInstall")->isEnabled());
    w.click(w.button("btnInstall"));
    QCOMPARE(w.info(), QStringLiteral("未找到点读笔存储，无法安装！"));
    QVERIFY(!w.app.installDialog());
}

namespace {
// Packages whose title order (pinyin), sticker order (list label in pinyin, then number) and
// code-point order all differ.
void writeSortFixture(const QString& dir)
{
    PackageBuilder(400).title("北京").writeTo(dir + "010.dar");
    PackageBuilder(400).title("北京").writeTo(dir + "012.dar");
    PackageBuilder(400).title("上海").writeTo(dir + "002.das");
    PackageBuilder(400).title("安徽").writeTo(dir + "100.dar");
    PackageBuilder(400).title("第10册").writeTo(dir + "009.dsr");
    PackageBuilder(400).title("第2册").writeTo(dir + "011.dsr");
    PackageBuilder(400).title("成都").writeTo(dir + "abc.dar");
}
}

void AppTest::sortByColumnHeader()
{
    QTemporaryDir volume;
    writeSortFixture(volume.filePath("USER/CUSTOM/"));
    MainWindowDriver w;
    w.app.window()->show();
    w.addPen("sdb1", volume.path() + "/");

    // Until a header is clicked, the table shows the scan's order.
    QStringList scanned;
    for (const ListData& row : w.app.books())
        scanned << row.stat;
    QCOMPARE(w.column(1), scanned);

    const QStringList byStat { "故事-009", "故事-011", "智能-002", "自制-010", "自制-012", "自制-100",
        "自制-abc" };
    const QStringList byName { "安徽", "北京", "北京", "成都", "第2册", "第10册", "上海" };
    w.clickHeader(1);
    QCOMPARE(w.column(1), byStat);
    w.clickHeader(1);
    QStringList reversed(byStat.crbegin(), byStat.crend());
    QCOMPARE(w.column(1), reversed);
    // Another column starts ascending again.
    w.clickHeader(0);
    QCOMPARE(w.column(0), byName);
    // The same title twice: in sticker order, not in the order shown before.
    QCOMPARE(w.column(1).mid(1, 2), QStringList({ "自制-010", "自制-012" }));
    w.clickHeader(0);
    QCOMPARE(w.column(0), QStringList(byName.crbegin(), byName.crend()));

    // A rescan keeps the chosen order; the scan's own list is untouched.
    w.click(w.button("btnRefresh"));
    QCOMPARE(w.column(0), QStringList(byName.crbegin(), byName.crend()));
    QCOMPARE(w.app.books().size(), 7);
}

void AppTest::sortedRowIsTheOneActedOn()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    writeSortFixture(dir);
    MainWindowDriver w;
    w.app.window()->show();
    w.addPen("sdb1", volume.path() + "/");
    AppDelegate::alertHook = [](QMessageBox& box) { return box.buttons().value(0); };
    const auto reset = qScopeGuard([] { AppDelegate::alertHook = nullptr; });

    // Sorted by title: the first row shown is 安徽, 100.dar, whatever the scan's order.
    w.clickHeader(0);
    w.clickRow(0);
    QCOMPARE(w.field("dtBookName")->text(), QStringLiteral("安徽"));
    QCOMPARE(w.field("dtBookOid")->text(), QStringLiteral("100"));
    w.click(w.button("btnRemove"));
    QVERIFY(!QFileInfo::exists(dir + "100.dar"));
    QCOMPARE(w.column(0), QStringList({ "北京", "北京", "成都", "第2册", "第10册", "上海" }));

    // Sorted by sticker, descending: the second row shown is 自制-012, renumbered to 050.
    w.clickHeader(1);
    w.clickHeader(1);
    QCOMPARE(
        w.column(1), QStringList({ "自制-abc", "自制-012", "自制-010", "智能-002", "故事-011", "故事-009" }));
    w.clickRow(1);
    QCOMPARE(w.field("dtBookOid")->text(), QStringLiteral("012"));
    w.apply("050", "0007");
    QVERIFY(!QFileInfo::exists(dir + "012.dar"));
    QVERIFY(QFileInfo::exists(dir + "010.dar"));
    QCOMPARE(readUnguarded([&] { return ReadBookName(dir + "050.dar"); }), QStringLiteral("北京"));
    QCOMPARE(readUnguarded([&] { return ReadOffsetOid(dir + "050.dar"); }), 7);
    QCOMPARE(
        w.column(1), QStringList({ "自制-abc", "自制-050", "自制-010", "智能-002", "故事-011", "故事-009" }));
}

void AppTest::packageFolderProblemIsShown_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("dialogOpens");

    QTest::addRow("missing: the install will make it") << "missing" << AppText::FolderMissing << true;
    QTest::addRow("a file") << "file" << AppText::FolderNotFolder << false;
    QTest::addRow("a link out of the pen") << "link" << AppText::FolderLink << false;
}

void AppTest::packageFolderProblemIsShown()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QFETCH(bool, dialogOpens);
    QTemporaryDir volume;
    QTemporaryDir outside;
    PackageBuilder().title("Outside").writeTo(outside.filePath("001.dar"));
    if (kind == "file")
        QVERIFY(writeFile(volume.filePath("USER/CUSTOM"), "x"));
    if (kind == "link") {
        QVERIFY(QDir().mkpath(volume.filePath("USER")));
        QVERIFY(QFile::link(outside.path(), volume.filePath("USER/CUSTOM")));
    }

    MainWindowDriver w;
    bool fileDialogShown = false;
    AppDelegate::fileDialogShown = [&](QFileDialog* dialog) {
        fileDialogShown = true;
        dialog->reject();
    };
    const auto reset = qScopeGuard([] { AppDelegate::fileDialogShown = nullptr; });
    w.addPen("sdb1", volume.path() + "/");
    QCOMPARE(w.listBook()->model()->rowCount(), 0);
    QCOMPARE(w.info(), message);
    w.click(w.button("btnInstall"));
    QCOMPARE(fileDialogShown, dialogOpens);
    if (!dialogOpens)
        QCOMPARE(w.info(), message);
}

void AppTest::stickerChangeThroughWindow()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    PackageBuilder(400)
        .title("语文")
        .bytesAt(BookHeader::BookCodeOffset, le32(56123))
        .writeTo(dir + "123.dar");
    PackageBuilder(400).title("数学").writeTo(dir + "045.dar");
    PackageBuilder(400).title("ATT123").writeTo(dir + "200.dar");

    MainWindowDriver w;
    w.addPen("sdb1", volume.path() + "/");

    // Refusals, in order, with the window open for correction.
    const QList<std::tuple<QString, QString, QString>> refusals = {
        { "12a", "0100", "书名贴号必须为数字！" },
        { "", "0100", "书名贴号必须为3位数字！" },
        { "１２３", "0100", "书名贴号必须为数字！" },
        { "123", "100", "起始贴号必须为4位数字！" },
        { "045", "0100", "教材已存在无法更改贴号！" },
    };
    w.select("自制-123");
    for (const auto& [book, start, message] : refusals) {
        w.apply(book, start);
        QCOMPARE(w.info(), message);
        QVERIFY(QFileInfo::exists(dir + "123.dar"));
    }

    // Unchanged number: only the start sticker, no rescan, the row stays selected.
    w.apply("123", "0042");
    QCOMPARE(readUnguarded([&] { return ReadOffsetOid(dir + "123.dar"); }), 42);
    // The refusal before it is not left standing as if it still held.
    QCOMPARE(w.info(), QString());
    QCOMPARE(w.listBook()->selectionModel()->selectedRows().size(), 1);

    // New number: moved, start sticker written, book code untouched, table rebuilt.
    w.apply("046", "0100");
    QVERIFY(!QFileInfo::exists(dir + "123.dar"));
    QCOMPARE(readUnguarded([&] { return ReadOffsetOid(dir + "046.dar"); }), 100);
    QCOMPARE(readFile(dir + "046.dar").mid(BookHeader::BookCodeOffset, 4), le32(56123));
    QVERIFY(w.rowOf("自制-046") >= 0);
    QVERIFY(w.listBook()->selectionModel()->selectedRows().isEmpty());
    QCOMPARE(w.info(), QString());

    // A shared row cannot be renumbered.
    w.select("自制-200");
    w.apply("201", "0000");
    QCOMPARE(w.info(), QStringLiteral("共享教材无法更改贴号！"));
    QVERIFY(QFileInfo::exists(dir + "200.dar"));
}

void AppTest::stickerChangeFailureIsReported()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    PackageBuilder(400).title("语文").writeTo(dir + "123.dar");
    MainWindowDriver w;
    w.addPen("sdb1", volume.path() + "/");
    w.select("自制-123");
    // The package disappears behind the program's back (pen pulled, another program).
    QVERIFY(QFile::remove(dir + "123.dar"));
    w.apply("124", "0100");
    QCOMPARE(w.info(), QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    QVERIFY(!QFileInfo::exists(dir + "124.dar"));
    QCOMPARE(w.listBook()->model()->rowCount(), 0);
}

void AppTest::removalConfirmedAndCancelled()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    PackageBuilder().title("数学").writeTo(dir + "001.dar");
    PackageBuilder().title("ATT001").writeTo(dir + "002.dar");
    PackageBuilder().writeTo(dir + "003.dsr/content.bin");

    MainWindowDriver w;
    w.addPen("sdb1", volume.path() + "/");

    QString text, informative;
    QStringList buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString answer;
    AppDelegate::alertHook = [&](QMessageBox& box) -> QAbstractButton* {
        text = box.text();
        informative = box.informativeText();
        icon = box.icon();
        buttons.clear();
        for (QAbstractButton* b : box.buttons())
            buttons << b->text();
        [&] { QVERIFY(box.defaultButton() && box.defaultButton()->text() == QStringLiteral("删除")); }();
        for (QAbstractButton* b : box.buttons())
            if (b->text() == answer)
                return b;
        return nullptr;
    };
    const auto reset = qScopeGuard([] { AppDelegate::alertHook = nullptr; });

    answer = QStringLiteral("取消");
    w.select("自制-001");
    w.click(w.button("btnRemove"));
    QCOMPARE(text, QStringLiteral("数学\r\n是否删除此点读包？"));
    QCOMPARE(informative, QStringLiteral("删除点读包后将不能恢复！"));
    QCOMPARE(icon, QMessageBox::Warning);
    QCOMPARE(buttons, QStringList({ "删除", "取消" }));
    QVERIFY(QFileInfo::exists(dir + "001.dar"));
    QCOMPARE(w.listBook()->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(w.listBook()->model()->rowCount(), 3);

    // The shared row goes alone; its target stays listed.
    answer = QStringLiteral("删除");
    w.select("自制-002");
    w.click(w.button("btnRemove"));
    QVERIFY(!QFileInfo::exists(dir + "002.dar"));
    QVERIFY(QFileInfo::exists(dir + "001.dar"));
    QCOMPARE(w.listBook()->model()->rowCount(), 2);
    QVERIFY(!w.button("btnRemove")->isEnabled());

    // A directory entry goes with its content.
    w.select("故事-003");
    w.click(w.button("btnRemove"));
    QVERIFY(!QFileInfo::exists(dir + "003.dsr"));
    QCOMPARE(w.column(1), QStringList({ "自制-001" }));
    QCOMPARE(w.info(), QString());
}

void AppTest::failedRemovalIsReported()
{
    ScratchMount pen;
    if (!pen.isMounted())
        QSKIP(qPrintable(pen.reason()));
    PackageBuilder().title("数学").writeTo(pen.path() + "USER/CUSTOM/001.dar");
    QVERIFY(pen.remountReadOnly());

    MainWindowDriver w;
    w.addPen("sdb1", pen.path());
    AppDelegate::alertHook = [](QMessageBox& box) { return box.buttons().value(0); };
    const auto reset = qScopeGuard([] { AppDelegate::alertHook = nullptr; });
    w.select("自制-001");
    w.click(w.button("btnRemove"));
    QCOMPARE(w.info(), QStringLiteral("删除点读包失败！"));
    QCOMPARE(w.column(1), QStringList({ "自制-001" }));
}

// One pen's jobs run one at a time and hand over their results in the order they were posted;
// a newer job of a kind drops the older one's result and asks it to stop, while jobs without a
// kind (removals, sticker changes) are never dropped.
void AppTest::penJobsOrderAndSupersede()
{
    PenJobs jobs;
    QSemaphore release;
    std::atomic<bool> firstStarted = false;
    std::atomic<bool> firstStopped = false;
    QStringList delivered;
    const auto job = [&](const QString& name) {
        return [&delivered, name](const PenJobContext&) -> PenDoor::Deliver {
            return [&delivered, name] { delivered << name; };
        };
    };
    const auto post = [&jobs](const QString& kind, PenDoor::Work work) {
        jobs.post({ kind.isEmpty() ? JobAccess::Write : JobAccess::Read, kind, std::move(work), {}, {} });
    };
    post("listing", [&](const PenJobContext& context) -> PenDoor::Deliver {
        // Holds until released or asked to stop.
        firstStarted = true;
        while (!release.tryAcquire(1, 10) && !context.stopped()) { }
        firstStopped = context.stopped();
        return [&] { delivered << "listing 1"; };
    });
    QTRY_VERIFY(firstStarted);
    post("header", job("header"));
    post(QString(), job("write 1"));
    post("listing", job("listing 2"));
    post(QString(), job("write 2"));
    QVERIFY(jobs.isBusy());
    QVERIFY(jobs.isBusy(QString()));
    QTRY_VERIFY(!jobs.isBusy());
    QVERIFY(firstStopped);
    QCOMPARE(delivered, QStringList({ "header", "write 1", "listing 2", "write 2" }));
    QVERIFY(!jobs.isBusy(QString()));
}

// A refresh while a listing is under way: the older listing is asked to stop and its rows never
// reach the table; the window shows a busy cursor meanwhile and the newer rows once they are in.
void AppTest::newerListingSupersedesOlder()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    PackageBuilder().title("语文").writeTo(dir + "001.dar");
    HeldJobs held(PenJobKind::ListingJob);
    MainWindowDriver w;
    w.volumes.insert("sdb1", volume.path() + "/");
    w.app.session()->storePen(BuildPenRecord("vorna", "Pen", "0100", "sdb1", {}));
    QTRY_COMPARE(held.held.load(), 1);
    QVERIFY(busyCursor(w.listBook()));
    QCOMPARE(w.listKavo()->count(), 1);
    QVERIFY(w.button("btnRefresh")->isEnabled());

    QSignalSpy resets(w.listBook()->model(), &QAbstractItemModel::modelReset);
    PackageBuilder().title("数学").writeTo(dir + "002.dar");
    QTest::mouseClick(w.button("btnRefresh"), Qt::LeftButton);
    QTRY_COMPARE(held.held.load(), 2);
    QVERIFY(held.stopSeen);
    held.release.release();
    QVERIFY(w.waitForPen());
    QCOMPARE(resets.size(), 1);
    QStringList names = w.column(0);
    names.sort();
    QCOMPARE(names, QStringList({ "数学", "语文" }));
    QVERIFY(!busyCursor(w.listBook()));
}

// The selector's tooltips tell pens apart by their volume's label and free space, which are read
// from the pen: while its listing is held, the selector is filled without them, and they come
// with the listing.
void AppTest::selectorFilledWithoutReadingThePen()
{
    QTemporaryDir volume;
    PackageBuilder().title("语文").writeTo(volume.filePath("USER/CUSTOM/001.dar"));
    HeldJobs held(PenJobKind::ListingJob);
    MainWindowDriver w;
    w.volumes.insert("sdb1", volume.path() + "/");
    w.app.session()->storePen(
        BuildPenRecord("vorna", "Pen", "0100", "sdb1", "[SYS]\r\nSerial=PENSERIAL01\r\n"));
    QTRY_COMPARE(held.held.load(), 1);
    const QString before = w.listKavo()->itemData(0, Qt::ToolTipRole).toString();
    QVERIFY2(before.contains("PENSERIAL01") && !before.contains(QStringLiteral("可用")), qPrintable(before));

    held.release.release();
    QVERIFY(w.waitForPen());
    const QString after = w.listKavo()->itemData(0, Qt::ToolTipRole).toString();
    QVERIFY2(after.contains("PENSERIAL01") && after.contains(QStringLiteral("可用")), qPrintable(after));
    QCOMPARE(w.field("snKavo")->toolTip(), after);
}

// The start sticker of a selected package is read in the background: until it is in, the field
// is not offered and the change cannot be applied with the placeholder it shows.
void AppTest::startStickerReadBeforeChange()
{
    QTemporaryDir volume;
    const QString dir = volume.filePath("USER/CUSTOM/");
    PackageBuilder(400)
        .title("语文")
        .bytesAt(BookHeader::StartStickerOffset, le32(5))
        .writeTo(dir + "012.dar");
    MainWindowDriver w;
    w.addPen("sdb1", volume.path() + "/");
    HeldJobs held(PenJobKind::HeaderJob);
    const QRect cell = w.listBook()->visualRect(w.listBook()->model()->index(0, 0));
    QTest::mouseClick(w.listBook()->viewport(), Qt::LeftButton, {}, cell.center());
    QTRY_COMPARE(held.held.load(), 1);
    QCOMPARE(w.field("dtBookOid")->text(), QStringLiteral("012"));
    QVERIFY(!w.button("btnApply")->isEnabled());
    QVERIFY(!w.field("dtOffsetOid")->isEnabled());
    QVERIFY(w.button("btnRemove")->isEnabled());
    held.release.release();
    QVERIFY(w.waitForPen());
    QCOMPARE(w.field("dtOffsetOid")->text(), QStringLiteral("0005"));
    QVERIFY(w.field("dtOffsetOid")->isEnabled());
    QVERIFY(w.button("btnApply")->isEnabled());
}

void AppTest::penPulledDuringJob_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<QString>("message");
    // The listing of a pen that is gone is dropped; the window says it was pulled.
    QTest::addRow("listing") << PenJobKind::ListingJob << "点读笔已拔出。";
    // A removal whose pen is pulled before it starts is refused, with nothing written: the pen
    // is asked who it is right before the removal.
    QTest::addRow("removal") << PenJobKind::WriteJob << "点读笔已拔出。";
}

void AppTest::penPulledDuringJob()
{
    QFETCH(QString, job);
    QFETCH(QString, message);
    auto volume = std::make_unique<QTemporaryDir>();
    PackageBuilder().title("数学").writeTo(volume->filePath("USER/CUSTOM/001.dar"));
    HeldJobs held(job);
    MainWindowDriver w;
    AppDelegate::alertHook = [](QMessageBox& box) { return box.buttons().value(0); };
    const auto reset = qScopeGuard([] { AppDelegate::alertHook = nullptr; });
    w.volumes.insert("sdb1", volume->path() + "/");
    w.app.session()->storePen(BuildPenRecord("vorna", "Pen", "0100", "sdb1", {}));
    if (job == PenJobKind::WriteJob) {
        QVERIFY(w.waitForPen());
        w.select("自制-001");
        QTest::mouseClick(w.button("btnRemove"), Qt::LeftButton);
        // Nothing else is written to the pen meanwhile.
        for (const char* name : { "btnInstall", "btnRestore", "btnBackup" })
            QVERIFY(!w.button(name)->isEnabled());
    }
    QTRY_COMPARE(held.held.load(), 1);

    // Pulled: its files are gone, and the device code reports it.
    volume.reset();
    w.volumes.remove("sdb1");
    w.app.session()->penUnplugged("sdb1");
    held.release.release();
    QVERIFY(w.waitForPen());
    QCOMPARE(w.listKavo()->currentText(), QStringLiteral("请连接点读系列产品！"));
    QCOMPARE(w.listBook()->model()->rowCount(), 0);
    QCOMPARE(w.info(), message);
    QVERIFY(!busyCursor(w.listBook()));
}

// Eject pressed while a removal runs: the eject waits for it, says so, and a refresh meanwhile
// keeps that message; nothing else may be written to the pen until the eject has ended.
void AppTest::ejectWaitsForWriteAndKeepsItsMessage()
{
    QTemporaryDir volume;
    PackageBuilder().title("数学").writeTo(volume.filePath("USER/CUSTOM/001.dar"));
    PackageBuilder().title("语文").writeTo(volume.filePath("USER/CUSTOM/002.dar"));
    struct Disks : DiskService {
        std::atomic<int> ejects = 0;
        bool ejectDrive(const QString&, QString*) override { return ++ejects > 0; }
        QString mountFilesystem(const QString&, QString*) override { return {}; }
    };
    auto disks = std::make_unique<Disks>();
    Disks* seen = disks.get();
    MainWindowDriver w(std::move(disks));
    AppDelegate::alertHook = [](QMessageBox& box) { return box.buttons().value(0); };
    const auto reset = qScopeGuard([] { AppDelegate::alertHook = nullptr; });
    w.addPen("sdb1", volume.path() + "/");
    HeldJobs held(PenJobKind::WriteJob);
    w.select("自制-001");
    QTest::mouseClick(w.button("btnRemove"), Qt::LeftButton);
    QTRY_COMPARE(held.held.load(), 1);
    QVERIFY(w.button("btnEject")->isEnabled());
    QTest::mouseClick(w.button("btnEject"), Qt::LeftButton);
    QCOMPARE(w.info(), AppText::EjectWaits);
    for (const char* name : { "btnInstall", "btnBackup", "btnRestore", "btnEject" })
        QVERIFY2(!w.button(name)->isEnabled(), name);
    QTest::mouseClick(w.button("btnRefresh"), Qt::LeftButton);
    QTest::qWait(50);
    QCOMPARE(w.info(), AppText::EjectWaits);
    QCOMPARE(seen->ejects.load(), 0);

    // The removal, then the eject (a job of the same queue).
    held.release.release(2);
    QVERIFY(w.waitForPen());
    QTRY_COMPARE(w.info(), AppText::Ejected);
    QCOMPARE(seen->ejects.load(), 1);
    QVERIFY(!QFileInfo::exists(volume.filePath("USER/CUSTOM/001.dar")));
    QCOMPARE(w.listKavo()->currentText(), AppText::NoPen);
}

// Closing the window while a pen is listed asks the listing to stop and waits only for the call
// under way, not for the pen to answer every call the listing would still make.
void AppTest::closingDuringJob()
{
    QTemporaryDir volume;
    PackageBuilder().title("数学").writeTo(volume.filePath("USER/CUSTOM/001.dar"));
    HeldJobs held(PenJobKind::ListingJob);
    auto w = std::make_unique<MainWindowDriver>();
    w->volumes.insert("sdb1", volume.path() + "/");
    w->app.session()->storePen(BuildPenRecord("vorna", "Pen", "0100", "sdb1", {}));
    QTRY_COMPARE(held.held.load(), 1);
    w.reset();
    QVERIFY(held.stopSeen);
}

QTEST_MAIN(AppTest)
#include "app_test.moc"
