// Eject and mount through the real udisks2 client, against a mocked udisks2 (python3-dbusmock)
// on a private bus that stands in for the system bus.
#include "AppDelegate.h"
#include "DiskService.h"
#include "PenJobsWait.h"
#include "StreamCapture.h"

#include <QComboBox>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Python = QStringLiteral("/usr/bin/python3");
const QString Udisks = QStringLiteral("org.freedesktop.UDisks2");
const QString BlockPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString DrivePath = QStringLiteral("/org/freedesktop/UDisks2/drives/");
const QString EjectFailed = QStringLiteral("点读笔弹出失败，请关闭正在使用点读笔的程序后重试！");

// One run of the mocked udisks2 with the drives of `parameters` (see fixtures/udisks2_pens.py).
class MockUdisks {
public:
    explicit MockUdisks(const QVariantMap& parameters)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(Python,
            { QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                QStringLiteral(DEVICE_FIXTURES "/udisks2_pens.py"), QStringLiteral("--parameters"),
                QString::fromUtf8(QJsonDocument::fromVariant(parameters).toJson(QJsonDocument::Compact)) });
    }
    ~MockUdisks()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
        // The next mock must not find this one's name still taken.
        QTRY_VERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered(Udisks));
    }
    // The service answers once its template is loaded: its name is taken before that, but calls
    // wait in the queue until the main loop runs.
    bool waitUntilReady()
    {
        QDeadlineTimer deadline(10000);
        while (!QDBusConnection::systemBus().interface()->isServiceRegistered(Udisks)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return false;
            QTest::qWait(20);
        }
        const QDBusMessage reply = QDBusConnection::systemBus().call(
            QDBusMessage::createMethodCall(Udisks, QStringLiteral("/org/freedesktop/UDisks2"),
                QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects")));
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    // The arguments of every call of `method` on the object at `path`.
    static QList<QVariantList> calls(const QString& path, const QString& method)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            Udisks, path, QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("GetMethodCalls"));
        message << method;
        const QDBusMessage reply = QDBusConnection::systemBus().call(message);
        QList<QVariantList> result;
        if (reply.type() != QDBusMessage::ReplyMessage)
            return result;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            qulonglong time = 0;
            QVariantList arguments;
            list.beginStructure();
            list >> time >> arguments;
            list.endStructure();
            result.append(arguments);
        }
        list.endArray();
        return result;
    }
    static QVariantMap options(const QVariant& argument)
    {
        QVariantMap map;
        argument.value<QDBusArgument>() >> map;
        return map;
    }

private:
    QProcess m_process;
};

QVariantMap filesystem(const QString& name, const QStringList& mountPoints, const QString& unmountError = {})
{
    return { { QStringLiteral("name"), name }, { QStringLiteral("mount_points"), mountPoints },
        { QStringLiteral("unmount_error"), unmountError } };
}
QVariantMap bareBlock(const QString& name)
{
    return { { QStringLiteral("name"), name }, { QStringLiteral("filesystem"), false } };
}
QVariantMap drive(
    const QString& id, const QVariantList& blocks, bool canPowerOff = true, const QString& powerOffError = {})
{
    return { { QStringLiteral("id"), id }, { QStringLiteral("blocks"), blocks },
        { QStringLiteral("can_power_off"), canPowerOff },
        { QStringLiteral("power_off_error"), powerOffError } };
}

} // namespace

class DeviceUdisksTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void eject_data();
    void eject();
    void mountUnmountedPen_data();
    void mountUnmountedPen();

private:
    QProcess m_bus;
};

void DeviceUdisksTest::initTestCase()
{
    QProcess probe;
    probe.start(Python, { QStringLiteral("-c"), QStringLiteral("import dbusmock") });
    if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
        QSKIP("python3-dbusmock cannot be imported by /usr/bin/python3: install python3-dbusmock");

    // A bus of our own stands in for the system bus: set before the first use of systemBus().
    m_bus.start(QStringLiteral("dbus-daemon"),
        { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1") });
    if (!m_bus.waitForStarted(10000))
        QSKIP("dbus-daemon cannot be started: install dbus");
    QTRY_VERIFY(m_bus.canReadLine());
    const QByteArray address = m_bus.readLine().trimmed();
    QVERIFY(!address.isEmpty());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    QVERIFY(QDBusConnection::systemBus().isConnected());
}

void DeviceUdisksTest::cleanupTestCase()
{
    if (m_bus.state() != QProcess::NotRunning) {
        m_bus.terminate();
        m_bus.waitForFinished(5000);
    }
}

void DeviceUdisksTest::eject_data()
{
    QTest::addColumn<QVariantList>("drives");
    QTest::addColumn<QString>("bsdName");
    QTest::addColumn<QStringList>("unmounted"); // block devices asked to unmount their file system
    QTest::addColumn<QString>("driveCall"); // "PowerOff", "Eject" or empty
    QTest::addColumn<bool>("ejected");

    const QString busy = QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy");
    const QVariantMap otherDisk = drive(QStringLiteral("Other_Disk"),
        { filesystem(QStringLiteral("sdc1"), { QStringLiteral("/media/other") }) });

    QTest::addRow("partitioned pen powered off")
        << QVariantList { drive(QStringLiteral("vorna_Pen_1"),
                              { bareBlock(QStringLiteral("sdb")),
                                  filesystem(QStringLiteral("sdb1"), { QStringLiteral("/media/MY PEN") }) }),
               otherDisk }
        << "sdb1" << QStringList { "sdb1" } << "PowerOff" << true;
    QTest::addRow("every mounted partition of the drive")
        << QVariantList { drive(QStringLiteral("vorna_Pen_1"),
                              { bareBlock(QStringLiteral("sdb")),
                                  filesystem(QStringLiteral("sdb1"), { QStringLiteral("/media/MY PEN") }),
                                  filesystem(QStringLiteral("sdb2"),
                                      { QStringLiteral("/media/SECOND"), QStringLiteral("/mnt/again") }),
                                  filesystem(QStringLiteral("sdb3"), {}) }),
               otherDisk }
        << "sdb1" << QStringList { "sdb1", "sdb2" } << "PowerOff" << true;
    QTest::addRow("ejected where it cannot be powered off")
        << QVariantList { drive(QStringLiteral("vorna_Pen_1"),
               { filesystem(QStringLiteral("sdb"), { QStringLiteral("/media/MY PEN") }) }, false) }
        << "sdb" << QStringList { "sdb" } << "Eject" << true;
    QTest::addRow("file system busy") << QVariantList { drive(QStringLiteral("vorna_Pen_1"),
        { bareBlock(QStringLiteral("sdb")),
            filesystem(QStringLiteral("sdb1"), { QStringLiteral("/media/MY PEN") }, busy) }) }
                                      << "sdb1" << QStringList { "sdb1" } << "" << false;
    QTest::addRow("power off refused") << QVariantList { drive(QStringLiteral("vorna_Pen_1"),
        { filesystem(QStringLiteral("sdb1"), { QStringLiteral("/media/MY PEN") }) }, true, busy) }
                                       << "sdb1" << QStringList { "sdb1" } << "PowerOff" << false;
    QTest::addRow("unknown to udisks2")
        << QVariantList { otherDisk } << "sdb1" << QStringList() << "" << false;
}

void DeviceUdisksTest::eject()
{
    QFETCH(QVariantList, drives);
    QFETCH(QString, bsdName);
    QFETCH(QStringList, unmounted);
    QFETCH(QString, driveCall);
    QFETCH(bool, ejected);

    MockUdisks udisks({ { QStringLiteral("drives"), drives } });
    QVERIFY(udisks.waitUntilReady());

    AppDelegate app;
    app.setUsbMonitoringEnabled(false);
    app.setVolumePathResolver([](const QString&) { return QString(); });
    app.setDiskService(createSystemDiskService());
    app.applicationDidFinishLaunching();
    app.session()->storePen(
        BuildPenRecord(QStringLiteral("vorna"), QStringLiteral("Pen"), QStringLiteral("0100"), bsdName, {}));
    QVERIFY(waitForPenJobs(app));
    auto* selector = app.window()->findChild<QComboBox*>(QStringLiteral("listKavo"));
    auto* info = app.window()->findChild<QLabel*>(QStringLiteral("dtInfo"));
    QCOMPARE(selector->count(), 1);

    // A message of an earlier failed eject; the outcome of this one replaces it.
    info->setText(EjectFailed);
    auto* eject = app.window()->findChild<QPushButton*>(QStringLiteral("btnEject"));
    QTest::mouseClick(eject, Qt::LeftButton);
    // udisks2 answers on its own time; the window goes on meanwhile.
    QVERIFY(app.session()->isEjecting());
    QVERIFY(!eject->isEnabled());
    QCOMPARE(info->text(), QStringLiteral("正在弹出点读笔……"));
    QTRY_VERIFY(!app.session()->isEjecting());

    if (ejected) {
        QVERIFY(app.pens().empty());
        QCOMPARE(selector->itemText(0), QStringLiteral("请连接点读系列产品！"));
        QCOMPARE(info->text(), QStringLiteral("点读笔已弹出，可以安全拔下。"));
    } else {
        QVERIFY(eject->isEnabled());
        // The pen may still hold unwritten data: it stays, and the user is told.
        QCOMPARE(app.pens().size(), size_t(1));
        QCOMPARE(selector->itemText(0), QStringLiteral("Zanvi点读笔 Pen 0100"));
        QCOMPARE(info->text(), EjectFailed);
    }

    for (const QVariant& d : drives) {
        const QVariantMap driveMap = d.toMap();
        for (const QVariant& b : driveMap.value(QStringLiteral("blocks")).toList()) {
            const QString name = b.toMap().value(QStringLiteral("name")).toString();
            const QList<QVariantList> calls = MockUdisks::calls(BlockPath + name, QStringLiteral("Unmount"));
            QVERIFY2(calls.size() == (unmounted.contains(name) ? 1 : 0), qPrintable(name));
            for (const QVariantList& arguments : calls)
                QVERIFY2(MockUdisks::options(arguments.value(0)).isEmpty(), "unmount must not be forced");
        }
        const QString path = DrivePath + driveMap.value(QStringLiteral("id")).toString();
        const bool isPensDrive = driveMap.value(QStringLiteral("id")) == QLatin1String("vorna_Pen_1");
        for (const QString& method : { QStringLiteral("PowerOff"), QStringLiteral("Eject") })
            QCOMPARE(MockUdisks::calls(path, method).size(), isPensDrive && method == driveCall ? 1 : 0);
    }
}

void DeviceUdisksTest::mountUnmountedPen_data()
{
    QTest::addColumn<QString>("mountError");
    QTest::addColumn<bool>("serialRead");

    QTest::addRow("mounted without asking the user") << QString() << true;
    QTest::addRow("mount refused") << QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized") << false;
}

void DeviceUdisksTest::mountUnmountedPen()
{
    QFETCH(QString, mountError);
    QFETCH(bool, serialRead);

    // Where udisks2 mounts the pen: the test's directory holds the pen's files.
    QTemporaryDir mountPoint;
    const QByteArray ini = "[Product]\r\nSN=AB12345678901\r\n";
    QVERIFY(QDir(mountPoint.path()).mkpath(QStringLiteral("SYS/INI")));
    QFile file(mountPoint.filePath(QStringLiteral("SYS/INI/product.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini);
    file.close();

    QVariantMap block = filesystem(QStringLiteral("sdb1"), {});
    block.insert(QStringLiteral("mount_point"), mountPoint.path());
    block.insert(QStringLiteral("mount_error"), mountError);
    MockUdisks udisks({ { QStringLiteral("drives"),
        QVariantList {
            drive(QStringLiteral("vorna_Pen_1"), { bareBlock(QStringLiteral("sdb")), block }) } } });
    QVERIFY(udisks.waitUntilReady());

    // The mount table as the program reads it: the volume is there once udisks2 mounted it.
    const auto mounted = [] {
        return !MockUdisks::calls(BlockPath + QStringLiteral("sdb1"), QStringLiteral("Mount")).isEmpty();
    };
    AppDelegate app;
    app.setUsbMonitoringEnabled(false);
    app.setAutoMountEnabled(true);
    app.setVolumePathResolver([&](const QString&) {
        return mounted() && mountError.isEmpty() ? mountPoint.path() + "/" : QString();
    });
    app.setDiskService(createSystemDiskService());
    app.applicationDidFinishLaunching();

    StreamCapture capture;
    // Recognised while nobody had mounted it: listed at once, without serial or packages.
    app.session()->storePen(BuildPenRecord(
        QStringLiteral("vorna"), QStringLiteral("Pen"), QStringLiteral("0100"), QStringLiteral("sdb1"), {}));
    QCOMPARE(app.pens().size(), size_t(1));
    QCOMPARE(app.serial(), QString());
    QTRY_VERIFY(!app.session()->diskJobsRunning());
    capture.stop();

    const QList<QVariantList> mounts
        = MockUdisks::calls(BlockPath + QStringLiteral("sdb1"), QStringLiteral("Mount"));
    QCOMPARE(mounts.size(), 1);
    QCOMPARE(MockUdisks::options(mounts.first().value(0)),
        (QVariantMap { { QStringLiteral("auth.no_user_interaction"), true } }));

    // Listed either way; the serial and the packages once the pen could be read.
    QCOMPARE(app.pens().size(), size_t(1));
    QCOMPARE(app.serial(), serialRead ? QString::fromLatin1(ini.mid(14, 11)) : QString());
    QCOMPARE(app.packageDirectory(), serialRead ? mountPoint.path() + "/USER/CUSTOM/" : QString());
    QCOMPARE(capture.err().contains("Mounting /dev/sdb1 failed: "), !serialRead);
    if (!serialRead)
        QVERIFY(capture.err().contains(mountError.toUtf8()));
}

QTEST_MAIN(DeviceUdisksTest)
#include "device_udisks_test.moc"
