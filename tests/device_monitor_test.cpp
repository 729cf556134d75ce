// USB monitoring and the whole arrival path in the real window, on a mocked /sys (umockdev).
// The program re-executes itself with umockdev's preload library, so it runs the same from
// CTest, a shell or a debugger.
#include "AppDelegate.h"
#include "LoopPen.h"
#include "PackageBuilder.h"
#include "PenJobsWait.h"
#include "PenTestbed.h"
#include "StreamCapture.h"
#include "UsbMonitor.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>
#include <unistd.h>

namespace {

const QString PenItem = QStringLiteral("Zanvi点读笔 Pen 0100");
const QString Placeholder = QStringLiteral("请连接点读系列产品！");

// Mounting needs udisks2, which these tests do not have: every mount fails, and is counted.
// The calls come from the program's disk thread.
struct NoMountDisks : DiskService {
    QMutex* lock;
    QStringList* mountRequests;
    NoMountDisks(QMutex* mutex, QStringList* requests)
        : lock(mutex)
        , mountRequests(requests)
    {
    }
    bool ejectDrive(const QString&, QString* error) override
    {
        *error = QStringLiteral("no disk service here");
        return false;
    }
    QString mountFilesystem(const QString& bsdName, QString* error) override
    {
        QMutexLocker locker(lock);
        mountRequests->append(bsdName);
        *error = QStringLiteral("no disk service here");
        return {};
    }
};

// The program as launched, with USB monitoring on the testbed's devices.
struct Program {
    QMutex lock;
    QStringList requests;
    AppDelegate app;

    Program()
    {
        app.setDiskService(std::make_unique<NoMountDisks>(&lock, &requests));
        app.applicationDidFinishLaunching();
    }
    QStringList mountRequests()
    {
        QMutexLocker locker(&lock);
        return requests;
    }
    QComboBox* selector() const { return app.window()->findChild<QComboBox*>(QStringLiteral("listKavo")); }
    QStringList items() const
    {
        QStringList texts;
        for (int i = 0; i < selector()->count(); ++i)
            texts.append(selector()->itemText(i));
        return texts;
    }
};

// Qt's own warnings go to a list, not into the captured standard error.
QStringList g_qtMessages;
void keepQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg)
        abort();
    g_qtMessages.append(message);
}

const QByteArray LookupOut
    = "Location ID:0x1100000, 0x1100000\nFind Location USB Device\nDevice's name = 2:0:0:0\n";
QByteArray lookupErr(const QByteArray& bsdName)
{
    return "Vendor: vorna\nProduct: Pen\nVersion: 0100\nBSD Name: " + bsdName + "\n";
}
QByteArray mountFailed(const QByteArray& bsdName)
{
    return "Mounting /dev/" + bsdName + " failed: no disk service here\n";
}

} // namespace

class DeviceMonitorTest : public QObject {
    Q_OBJECT

private slots:
    void penAtLaunch();
    void penPluggedLater();
    void otherDevicesPluggedLater();
    void penPluggedDuringModalDialog();
    void penBehindHub();
    void twoPensAtLaunch();
    void unplugging();
    void penOnRealMount();
};

void DeviceMonitorTest::penAtLaunch()
{
    PenTestbed testbed;
    QVERIFY(testbed.load(QStringLiteral(DEVICE_FIXTURES "/pen-partitioned.umockdev")));

    StreamCapture capture;
    Program program;
    // Handled within the launch: listed before any event is processed, without the wait.
    QCOMPARE(program.items(), QStringList { PenItem });
    // Nothing mounted it: the program tries to, in the background, and lists the pen without
    // a serial meanwhile.
    QCOMPARE(program.app.serial(), QString());
    QTRY_COMPARE(program.mountRequests(), QStringList { QStringLiteral("sdb1") });
    QTRY_VERIFY(!program.app.session()->diskJobsRunning());
    capture.stop();
    QCOMPARE(capture.out(), "New KAVO added.\n" + LookupOut);
    QCOMPARE(capture.err(), lookupErr("sdb1") + mountFailed("sdb1"));
}

void DeviceMonitorTest::penPluggedLater()
{
    PenTestbed testbed;
    StreamCapture capture;
    Program program;
    QCOMPARE(program.items(), QStringList { Placeholder });

    // The window keeps working during the settle time: a timer of the window ticks on.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);

    QVERIFY(testbed.load(QStringLiteral(DEVICE_FIXTURES "/pen.umockdev")));
    QTRY_COMPARE(capture.err(), QByteArray("DeviceAdded runin.\n"));
    const int ticksAtArrival = ticks;
    QCOMPARE(program.items(), QStringList { Placeholder });
    QCOMPARE(capture.out(), QByteArray());

    QTRY_COMPARE_WITH_TIMEOUT(program.items(), QStringList { PenItem }, 5000);
    QVERIFY2(ticks - ticksAtArrival >= 10,
        qPrintable(QStringLiteral("%1 ticks during the wait").arg(ticks - ticksAtArrival)));
    QTRY_VERIFY(!program.app.session()->diskJobsRunning());
    capture.stop();
    // The root hub arrived in the same pass and is no pen: only the pen's lines.
    QCOMPARE(capture.out(), "New KAVO added.\n" + LookupOut);
    QCOMPARE(capture.err(), "DeviceAdded runin.\n" + lookupErr("sdb") + mountFailed("sdb"));
}

void DeviceMonitorTest::otherDevicesPluggedLater()
{
    PenTestbed testbed;
    testbed.addBus();
    StreamCapture capture;
    Program program;

    // Plugged together: one wait, then each device's failure line, if any, in arrival order.
    testbed.addUsbDevice({ QStringLiteral("1-1"), "046d", "c077", "USB Optical Mouse" });
    testbed.addUsbDevice({ QStringLiteral("1-2"), QByteArray(), "0001", "No vendor" });
    testbed.addUsbDevice({ QStringLiteral("1-3"), "04d6", QByteArray(), "No product" });
    testbed.addUsbDevice({ QStringLiteral("1-4"), "04d6", "e101", "No bus number", false });
    const QByteArray expected = "DeviceAdded runin.\nGetDeviceVendor returned 0x00000002.\n"
                                "GetDeviceProduct returned 0x00000002.\nGetLocationID returned 0x00000002.\n";
    QTRY_COMPARE_WITH_TIMEOUT(capture.err(), expected, 5000);
    QTest::qWait(200);
    capture.stop();
    QCOMPARE(capture.err(), expected);
    QCOMPARE(capture.out(), QByteArray());
    QCOMPARE(program.items(), QStringList { Placeholder });
    QVERIFY(program.mountRequests().isEmpty());
}

void DeviceMonitorTest::penPluggedDuringModalDialog()
{
    PenTestbed testbed;
    StreamCapture capture;
    Program program;

    QDialog dialog(program.app.window());
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
    QVERIFY(QApplication::activeModalWidget());

    QVERIFY(testbed.load(QStringLiteral(DEVICE_FIXTURES "/pen.umockdev")));
    QTRY_COMPARE(capture.err(), QByteArray("DeviceAdded runin.\n"));
    QTest::qWait(UsbMonitor::SettleTimeMs + 500);
    QCOMPARE(program.items(), QStringList { Placeholder });
    QCOMPARE(capture.out(), QByteArray());

    dialog.close();
    QTRY_COMPARE_WITH_TIMEOUT(program.items(), QStringList { PenItem }, 2000);
    capture.stop();
    QCOMPARE(capture.out(), "New KAVO added.\n" + LookupOut);
}

void DeviceMonitorTest::penBehindHub()
{
    PenTestbed testbed;
    testbed.addBus();
    testbed.addUsbDevice({ QStringLiteral("1-1"), "05e3", "0608", "USB2.0 Hub" });
    PenTestbed::Pen pen;
    pen.port = QStringLiteral("1-1.3");
    testbed.addPen(pen);

    StreamCapture capture;
    Program program;
    capture.stop();
    QCOMPARE(program.items(), QStringList { PenItem });
    QCOMPARE(capture.out(),
        QByteArray("New KAVO added.\nLocation ID:0x1130000, 0x1130000\nFind Location USB Device\n"
                   "Device's name = 2:0:0:0\n"));
}

void DeviceMonitorTest::twoPensAtLaunch()
{
    PenTestbed testbed;
    testbed.addBus();
    // Found in port order, listed in the order of their names: the second found comes first.
    PenTestbed::Pen first { QStringLiteral("1-1"), 2, QStringLiteral("sdc"), 32 };
    first.model = "Pen B";
    PenTestbed::Pen second { QStringLiteral("1-2"), 3, QStringLiteral("sdb"), 16 };
    second.model = "Pen A";
    testbed.addPen(first);
    testbed.addPen(second);

    StreamCapture capture;
    Program program;
    capture.stop();
    QCOMPARE(program.items(),
        (QStringList { QStringLiteral("Zanvi点读笔 Pen A 0100"), QStringLiteral("Zanvi点读笔 Pen B 0100") }));
    QCOMPARE(program.selector()->currentIndex(), 0);
    QCOMPARE(program.app.pens().begin()->first, QStringLiteral("sdb1"));
    QCOMPARE(capture.out().count("New KAVO added.\n"), 2);
}

void DeviceMonitorTest::unplugging()
{
    PenTestbed testbed;
    QVERIFY(testbed.load(QStringLiteral(DEVICE_FIXTURES "/pen.umockdev")));
    const QString mouse
        = testbed.addUsbDevice({ QStringLiteral("1-2"), "046d", "c077", "USB Optical Mouse" });
    StreamCapture launch;
    Program program;
    QTRY_VERIFY(!program.app.session()->diskJobsRunning());
    launch.stop();
    QCOMPARE(program.items(), QStringList { PenItem });

    StreamCapture capture;
    testbed.unplug(mouse);
    testbed.unplug(QStringLiteral("/sys/devices/platform/dummy_hcd.0/usb1/1-1"));
    const QByteArray expected = "Device removed.\nprivateDataRef->deviceName: Pen\n"
                                "privateDataRef->locationID: 0x1100000.\n\n";
    QTRY_COMPARE(capture.err(), expected);
    QTest::qWait(100);
    capture.stop();
    QCOMPARE(capture.err(), expected);
    QCOMPARE(capture.out(), QByteArray());
    // Unplugged without an eject: a pen that is not there is not listed, and the user is told.
    QCOMPARE(program.items(), QStringList { Placeholder });
    QVERIFY(program.app.pens().empty());
    QCOMPARE(program.app.window()->findChild<QLabel*>(QStringLiteral("dtInfo"))->text(),
        QStringLiteral("点读笔已拔出。"));

    // Plugged in again while a stale mount still holds the old name: the kernel names it anew,
    // and it is recognised afresh.
    PenTestbed::Pen again;
    again.disk = QStringLiteral("sdc");
    again.minor = 32;
    again.partitioned = false;
    StreamCapture replug;
    testbed.addPen(again);
    QTRY_COMPARE_WITH_TIMEOUT(program.items(), QStringList { PenItem }, UsbMonitor::SettleTimeMs + 3000);
    replug.stop();
    QCOMPARE(program.app.pens().begin()->first, QStringLiteral("sdc"));
    QVERIFY(replug.out().contains("New KAVO added.\n"));
}

void DeviceMonitorTest::penOnRealMount()
{
    const QByteArray ini = "[Product]\r\nSN=AB12345678901\r\n";
    LoopPen loop(ini, QStringLiteral("小学英语"));
    if (!loop.reason().isEmpty())
        QSKIP(qPrintable(loop.reason()));
    QVERIFY(!loop.deviceNumber().isEmpty());

    PenTestbed testbed;
    QVERIFY(testbed.load(QStringLiteral(DEVICE_FIXTURES "/pen-partitioned.umockdev")));
    const QString partition = QStringLiteral(
        "/sys/devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0/host2/target2:0:0/2:0:0:0/block/sdb/sdb1");
    const QList<QByteArray> numbers = loop.deviceNumber().split(':');
    testbed.setAttribute(partition, "dev", loop.deviceNumber() + '\n');
    testbed.setProperty(partition, "MAJOR", numbers.value(0));
    testbed.setProperty(partition, "MINOR", numbers.value(1));

    StreamCapture capture;
    Program program;
    capture.stop();
    QCOMPARE(capture.err(), lookupErr("sdb1"));
    QCOMPARE(program.items(), QStringList { PenItem });
    QVERIFY(program.mountRequests().isEmpty());
    // The serial and the packages are read from the volume in the background.
    QVERIFY(waitForPenJobs(program.app));
    QCOMPARE(program.app.serial(), QString::fromLatin1(ini.mid(14, 11)));
    QCOMPARE(program.app.window()->findChild<QLineEdit*>(QStringLiteral("snKavo"))->text(),
        QString::fromLatin1(ini.mid(14, 11)));
    QCOMPARE(program.app.books().size(), 1);
    QCOMPARE(program.app.books().first().name, QStringLiteral("小学英语"));
    QVERIFY(program.app.packageDirectory().contains(QStringLiteral("/MY PEN/")));
}

int main(int argc, char* argv[])
{
    if (!dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD)) {
        const QByteArray preload = qgetenv("LD_PRELOAD");
        qputenv(
            "LD_PRELOAD", "libumockdev-preload.so.0" + (preload.isEmpty() ? QByteArray() : ' ' + preload));
        execv("/proc/self/exe", argv);
        perror("re-executing under umockdev");
        return 1;
    }
    qInstallMessageHandler(keepQtMessage);
    QApplication app(argc, argv);
    DeviceMonitorTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "device_monitor_test.moc"
