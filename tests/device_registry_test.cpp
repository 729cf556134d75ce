// The pen volume lookup on device trees held in memory and on sysfs trees (umockdev testbeds
// read as plain directories, without the preload library).
#include "Deadline.h"
#include "LoopPen.h"
#include "MemoryRegistry.h"
#include "PackageBuilder.h"
#include "PenHost.h"
#include "PenLookup.h"
#include "PenRecord.h"
#include "PenTestbed.h"
#include "StreamCapture.h"
#include "SysfsRegistry.h"
#include "UsbIds.h"
#include "VolumePath.h"
#include "VolumeSpace.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct RecordingHost : PenHost {
    QList<PenRecord> stored;
    void storePen(const PenRecord& record) override { stored.append(record); }
    void penUnplugged(const QString&) override { }
};

// What a lookup wrote and stored.
struct Outcome {
    QByteArray out;
    QByteArray err;
    QStringList stored; // BSD names in the order stored
    QList<PenRecord> records;
};

Outcome lookUp(const DeviceRegistry& registry, const QList<quint32>& wanted,
    PenLookup::VolumePathResolver volumePath = {})
{
    RecordingHost host;
    setPenHost(&host);
    Outcome outcome;
    {
        StreamCapture capture;
        PenLookup lookup(registry, std::move(volumePath));
        for (const quint32 id : wanted)
            lookup.findLocationID(id);
        capture.stop();
        outcome.out = capture.out();
        outcome.err = capture.err();
    }
    setPenHost(nullptr);
    for (const PenRecord& record : host.stored)
        outcome.stored.append(record.bsdName);
    outcome.records = host.stored;
    return outcome;
}

// A pen's subtree as the other platform's registry shows it: interface nub, driver, logical
// unit, disk driver, whole-disk medium and, when partitioned, the partition's medium.
struct MemoryPen {
    quint32 location = 0x01100000;
    QString vendor = QStringLiteral("vorna");
    QString disk = QStringLiteral("disk2");
    bool partitioned = true;
};

QString addPen(MemoryRegistry& registry, const QString& parent, const MemoryPen& pen)
{
    const QString nub = registry.add(parent, QStringLiteral("IOUSBMassStorageInterfaceNub"),
        RegistryClass::MassStorageInterface, { { RegistryKey::LocationID, qint32(pen.location) } });
    const QString driver = registry.add(
        nub, QStringLiteral("IOUSBMassStorageDriverNub"), QStringLiteral("IOUSBMassStorageDriverNub"));
    const QString unit
        = registry.add(driver, QStringLiteral("IOSCSILogicalUnitNub@0"), RegistryClass::LogicalUnit,
            { { RegistryKey::Vendor, pen.vendor }, { RegistryKey::Product, QStringLiteral("Pen") },
                { RegistryKey::Revision, QStringLiteral("0100") } });
    const QString blockDriver = registry.add(
        unit, QStringLiteral("IOBlockStorageServices"), QStringLiteral("IOBlockStorageServices"));
    const QString whole = registry.add(blockDriver, QStringLiteral("vorna Pen Media"), RegistryClass::Media,
        { { RegistryKey::BSDName, pen.disk },
            { RegistryKey::Content,
                pen.partitioned ? QStringLiteral("FDisk_partition_scheme") : QString() } });
    if (pen.partitioned) {
        registry.add(whole, QStringLiteral("Untitled 1"), RegistryClass::Media,
            { { RegistryKey::BSDName, pen.disk + QStringLiteral("s1") },
                { RegistryKey::Content, QStringLiteral("DOS_FAT_16") } });
    }
    return nub;
}

QString addHub(MemoryRegistry& registry, const QString& parent, const QString& name)
{
    return registry.add(parent, name, QStringLiteral("IOUSBHostDevice"));
}

const QByteArray PenUnitOut = "Device's name = IOSCSILogicalUnitNub@0\n";
QByteArray unitErr(const QByteArray& vendor, const QByteArray& bsdName)
{
    return "Vendor: " + vendor + "\nProduct: Pen\nVersion: 0100\nBSD Name: " + bsdName + "\n";
}

} // namespace

class DeviceRegistryTest : public QObject {
    Q_OBJECT

private slots:
    void locationIDs_data();
    void locationIDs();
    void locationIDsBeyondOneDigit();
    void walk_data();
    void walk();
    void missingRoot_data();
    void missingRoot();

    void sysfsRecordings_data();
    void sysfsRecordings();
    void sysfsPartitionTable_data();
    void sysfsPartitionTable();
    void sysfsEntryVanishingDuringWalk();
    void wholeMachineSnapshot_data();
    void wholeMachineSnapshot();
    void serialFromVolume();
    void serialFileThatIsNoFile_data();
    void serialFileThatIsNoFile();

    void penRecordSerial_data();
    void penRecordSerial();
    void mountInfoLookup_data();
    void mountInfoLookup();
    void mountInfoOnRealLoopMount();
    void humanSize_data();
    void humanSize();
};

void DeviceRegistryTest::locationIDs_data()
{
    QTest::addColumn<int>("bus");
    QTest::addColumn<QString>("devpath");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint32>("expected");

    QTest::addRow("port 1 of bus 1") << 1 << "1" << true << quint32(0x01100000);
    QTest::addRow("behind a hub") << 1 << "1.2" << true << quint32(0x01120000);
    QTest::addRow("three hubs deep") << 3 << "4.1.15.2" << true << quint32(0x0341F200);
    QTest::addRow("root hub") << 2 << "0" << true << quint32(0x02000000);
    QTest::addRow("bus too large") << 256 << "1" << false << quint32(0);
    QTest::addRow("not a number") << 1 << "1.x" << false << quint32(0);
    QTest::addRow("empty devpath") << 1 << "" << false << quint32(0);
}

void DeviceRegistryTest::locationIDs()
{
    QFETCH(int, bus);
    QFETCH(QString, devpath);
    QFETCH(bool, valid);
    QFETCH(quint32, expected);

    const auto location = usbLocationID(bus, devpath);
    QCOMPARE(location.has_value(), valid);
    if (valid)
        QCOMPARE(*location, expected);
}

void DeviceRegistryTest::locationIDsBeyondOneDigit()
{
    // Root hubs of xHCI controllers may have more than 15 ports, and hubs nest more than six
    // deep in theory: such pens still get an ID on their bus, one of their own.
    const QStringList paths { QStringLiteral("16"), QStringLiteral("17"), QStringLiteral("1.16"),
        QStringLiteral("1.1.1.1.1.1.1"), QStringLiteral("1.1.1.1.1.1.2") };
    QSet<quint32> seen;
    for (const QString& path : paths) {
        const auto location = usbLocationID(3, path);
        QVERIFY2(location.has_value(), qPrintable(path));
        QCOMPARE(*location >> 24, 3u);
        seen.insert(*location);
    }
    QCOMPARE(seen.size(), paths.size());
    QVERIFY(!seen.contains(*usbLocationID(3, QStringLiteral("1.1"))));
}

void DeviceRegistryTest::walk_data()
{
    QTest::addColumn<std::shared_ptr<MemoryRegistry>>("registry");
    QTest::addColumn<QList<quint32>>("wanted");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QStringList>("stored");

    {
        auto registry = std::make_shared<MemoryRegistry>();
        const QString hub = addHub(*registry, registry->rootEntry(), QStringLiteral("USB2.0 Hub"));
        addHub(*registry, hub, QStringLiteral("USB Optical Mouse"));
        QTest::addRow("no mass-storage interface")
            << registry << QList<quint32> { 0x01100000 } << QByteArray() << QByteArray() << QStringList();
    }
    {
        // The nub that does not match is logged and its subtree still searched.
        auto registry = std::make_shared<MemoryRegistry>();
        const QString other
            = registry->add(registry->rootEntry(), QStringLiteral("IOUSBMassStorageInterfaceNub"),
                RegistryClass::MassStorageInterface, { { RegistryKey::LocationID, 0x01200000 } });
        addPen(*registry, other,
            MemoryPen { 0x01210000, QStringLiteral("vorna"), QStringLiteral("disk3"), true });
        QTest::addRow("other location, then descent")
            << registry << QList<quint32> { 0x01210000 }
            << QByteArray("Location ID:0x1200000, 0x1210000\nLocation ID:0x1210000, 0x1210000\n"
                          "Find Location USB Device\n")
                + PenUnitOut
            << unitErr("vorna", "disk3s1") << QStringList { "disk3s1" };
    }
    {
        auto registry = std::make_shared<MemoryRegistry>();
        addPen(*registry, registry->rootEntry(),
            MemoryPen { 0x01100000, QStringLiteral("vorna"), QStringLiteral("disk2"), false });
        QTest::addRow("disk without partition table")
            << registry << QList<quint32> { 0x01100000 }
            << QByteArray("Location ID:0x1100000, 0x1100000\nFind Location USB Device\n") + PenUnitOut
            << unitErr("vorna", "disk2") << QStringList { "disk2" };
    }
    for (const QString& vendor :
        { QStringLiteral("Vorna"), QStringLiteral("VORNA"), QStringLiteral("vorna ") }) {
        auto registry = std::make_shared<MemoryRegistry>();
        addPen(*registry, registry->rootEntry(),
            MemoryPen { 0x01100000, vendor, QStringLiteral("disk2"), true });
        QTest::addRow("vendor \"%s\" is not a pen", qPrintable(vendor))
            << registry << QList<quint32> { 0x01100000 }
            << QByteArray("Location ID:0x1100000, 0x1100000\nFind Location USB Device\n") + PenUnitOut
            << unitErr(vendor.toLatin1(), "disk2s1") << QStringList();
    }
    {
        // A match ends the walk of its own subtree and of its later siblings only.
        auto registry = std::make_shared<MemoryRegistry>();
        const QString hubA = addHub(*registry, registry->rootEntry(), QStringLiteral("hub A"));
        addPen(*registry, hubA, MemoryPen {});
        addPen(*registry, hubA,
            MemoryPen { 0x01200000, QStringLiteral("vorna"), QStringLiteral("disk4"), true });
        const QString hubB = addHub(*registry, registry->rootEntry(), QStringLiteral("hub B"));
        addPen(*registry, hubB,
            MemoryPen { 0x02100000, QStringLiteral("vorna"), QStringLiteral("disk5"), true });
        QTest::addRow("match skips later siblings, walk goes on elsewhere")
            << registry << QList<quint32> { 0x01100000 }
            << QByteArray("Location ID:0x1100000, 0x1100000\nFind Location USB Device\n") + PenUnitOut
                + "Location ID:0x2100000, 0x1100000\n"
            << unitErr("vorna", "disk2s1") << QStringList { "disk2s1" };
    }
    {
        auto registry = std::make_shared<MemoryRegistry>();
        addPen(*registry, registry->rootEntry(),
            MemoryPen { 0x01100000, QStringLiteral("vorna"), QStringLiteral("disk2"), true });
        addPen(*registry, registry->rootEntry(),
            MemoryPen { 0x01200000, QStringLiteral("vorna"), QStringLiteral("disk3"), false });
        QTest::addRow("two pens")
            << registry << QList<quint32> { 0x01200000, 0x01100000 }
            << QByteArray("Location ID:0x1100000, 0x1200000\nLocation ID:0x1200000, 0x1200000\n"
                          "Find Location USB Device\n")
                + PenUnitOut + "Location ID:0x1100000, 0x1100000\nFind Location USB Device\n" + PenUnitOut
            << unitErr("vorna", "disk3") + unitErr("vorna", "disk2s1") << QStringList { "disk3", "disk2s1" };
    }
    {
        // Entries that vanish while the tree is read: a whole device before the pen, and the
        // logical unit of a second pen-model device. Neither stops the walk.
        auto registry = std::make_shared<MemoryRegistry>();
        const QString gone = addHub(*registry, registry->rootEntry(), QStringLiteral("unplugged"));
        addPen(*registry, gone,
            MemoryPen { 0x01100000, QStringLiteral("vorna"), QStringLiteral("disk9"), true });
        registry->vanish(gone);
        const QString broken = addPen(*registry, registry->rootEntry(), MemoryPen { 0x01200000 });
        registry->vanish(registry->children(registry->children(broken).first()).first());
        addPen(*registry, registry->rootEntry(),
            MemoryPen { 0x01100000, QStringLiteral("vorna"), QStringLiteral("disk2"), true });
        QTest::addRow("vanished entries")
            << registry << QList<quint32> { 0x01200000, 0x01100000 }
            << QByteArray("Location ID:0x1200000, 0x1200000\nFind Location USB Device\n"
                          "Location ID:0x1200000, 0x1100000\nLocation ID:0x1100000, 0x1100000\n"
                          "Find Location USB Device\n")
                + PenUnitOut
            << unitErr("vorna", "disk2s1") << QStringList { "disk2s1" };
    }
    {
        // A nub without a location reads as location 0.
        auto registry = std::make_shared<MemoryRegistry>();
        registry->add(registry->rootEntry(), QStringLiteral("nub"), RegistryClass::MassStorageInterface);
        QTest::addRow("nub without location")
            << registry << QList<quint32> { 0x80000001 } << QByteArray("Location ID:0x0, 0x80000001\n")
            << QByteArray() << QStringList();
    }
    {
        // Location IDs with the top bit set compare bit for bit with the signed registry value.
        auto registry = std::make_shared<MemoryRegistry>();
        addPen(*registry, registry->rootEntry(),
            MemoryPen { 0x81100000, QStringLiteral("vorna"), QStringLiteral("disk2"), false });
        QTest::addRow("bus 0x81") << registry << QList<quint32> { 0x81100000 }
                                  << QByteArray(
                                         "Location ID:0x81100000, 0x81100000\nFind Location USB Device\n")
                + PenUnitOut << unitErr("vorna", "disk2")
                                  << QStringList { "disk2" };
    }
}

void DeviceRegistryTest::walk()
{
    QFETCH(std::shared_ptr<MemoryRegistry>, registry);
    QFETCH(QList<quint32>, wanted);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QStringList, stored);

    const Outcome outcome = lookUp(*registry, wanted);
    QCOMPARE(outcome.out, out);
    QCOMPARE(outcome.err, err);
    QCOMPARE(outcome.stored, stored);
    for (const PenRecord& record : outcome.records) {
        QCOMPARE(record.vendor, QStringLiteral("vorna"));
        QCOMPARE(record.product, QStringLiteral("Pen"));
        QCOMPARE(record.revision, QStringLiteral("0100"));
    }
}

void DeviceRegistryTest::missingRoot_data()
{
    QTest::addColumn<std::shared_ptr<DeviceRegistry>>("registry");
    QTest::addColumn<QByteArray>("err");

    QTest::addRow("memory") << std::shared_ptr<DeviceRegistry>(std::make_shared<MemoryRegistry>(
        false)) << QByteArray("findLocationID: no device registry at memory, no pen can be recognised.\n");
    QTest::addRow("sysfs") << std::shared_ptr<DeviceRegistry>(
        std::make_shared<SysfsRegistry>(QStringLiteral("/nonexistent")))
                           << QByteArray(
                                  "findLocationID: no device registry at /nonexistent/devices, no pen can be "
                                  "recognised.\n");
}

void DeviceRegistryTest::missingRoot()
{
    QFETCH(std::shared_ptr<DeviceRegistry>, registry);
    QFETCH(QByteArray, err);

    const Outcome outcome = lookUp(*registry, { 0x01100000 });
    QCOMPARE(outcome.out, QByteArray());
    QCOMPARE(outcome.err, err);
    QVERIFY(outcome.stored.isEmpty());
}

void DeviceRegistryTest::sysfsRecordings_data()
{
    QTest::addColumn<QString>("recording");
    QTest::addColumn<QString>("replaced"); // a file of the logical unit: "name kind"; empty: none
    QTest::addColumn<QByteArray>("bsdName"); // empty: no pen found

    QTest::addRow("whole-disk file system")
        << QStringLiteral("pen.umockdev") << QString() << QByteArray("sdb");
    QTest::addRow("partitioned") << QStringLiteral("pen-partitioned.umockdev") << QString()
                                 << QByteArray("sdb1");
    // A copied or corrupted tree: what stands in for an attribute is neither followed nor waited on.
    QTest::addRow("vendor a link to a file elsewhere")
        << QStringLiteral("pen.umockdev") << QStringLiteral("vendor link") << QByteArray();
    QTest::addRow("vendor a FIFO") << QStringLiteral("pen.umockdev") << QStringLiteral("vendor fifo")
                                   << QByteArray();
    QTest::addRow("uevent a link to a file elsewhere")
        << QStringLiteral("pen.umockdev") << QStringLiteral("uevent link") << QByteArray();
}

void DeviceRegistryTest::sysfsRecordings()
{
    QFETCH(QString, recording);
    QFETCH(QString, replaced);
    QFETCH(QByteArray, bsdName);

    // Recordings of a real pen: the kernel's padded SCSI strings, links back up the tree
    // (`device`, `subsystem`, `driver`) and directories that are not devices.
    PenTestbed testbed;
    QVERIFY(testbed.load(QStringLiteral(DEVICE_FIXTURES "/") + recording));
    QTemporaryDir outside;
    const QString path = testbed.realPath(QStringLiteral(
                             "/sys/devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0/host2/target2:0:0/2:0:0:0/"))
        + replaced.section(QLatin1Char(' '), 0, 0);
    const QString kind = replaced.section(QLatin1Char(' '), 1);
    if (!replaced.isEmpty()) {
        // The file elsewhere holds what the unit's own file held, so reading it would find the pen.
        const QString name = QFileInfo(path).fileName();
        QVERIFY(QFile::copy(path, outside.filePath(name)));
        QVERIFY(QFile::remove(path));
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(outside.filePath(name), path));
        else
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    }
    const auto registry = std::make_shared<SysfsRegistry>(testbed.sysRoot(), QStringLiteral("/nonexistent"));

    auto outcome = std::make_shared<Outcome>();
    if (!finishesWithin(std::chrono::seconds(10), [=] { *outcome = lookUp(*registry, { 0x01100000 }); })) {
        // Lets the stuck open go on, so that the capture of the output ends and the run can report.
        if (kind == QLatin1String("fifo"))
            ::close(::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK));
        QTest::qWait(500);
        QFAIL("the pen lookup hangs");
    }
    if (bsdName.isEmpty()) {
        QCOMPARE(outcome->stored, QStringList());
        return;
    }
    QCOMPARE(outcome->out,
        QByteArray("Location ID:0x1100000, 0x1100000\nFind Location USB Device\nDevice's name = 2:0:0:0\n"));
    QCOMPARE(outcome->err, "Vendor: vorna\nProduct: Pen\nVersion: 0100\nBSD Name: " + bsdName + "\n");
    QCOMPARE(outcome->stored, QStringList { QString::fromLatin1(bsdName) });
}

void DeviceRegistryTest::sysfsPartitionTable_data()
{
    QTest::addColumn<bool>("partitioned");
    QTest::addColumn<bool>("tableInUevent");
    QTest::addColumn<QByteArray>("udevRecord"); // content of the disk's udev database file; empty: none
    QTest::addColumn<QByteArray>("err");

    const QByteArray unit = "Vendor: vorna\nProduct: Pen\nVersion: 0100\n";
    QTest::addRow("table type in the uevent") << true << true << QByteArray() << unit + "BSD Name: sdb1\n";
    // On a real machine udev keeps the probe result in its database, not in the uevent.
    QTest::addRow("table type in udev's database")
        << true << false << QByteArray("E:ID_FS_TYPE=\nE:ID_PART_TABLE_TYPE=dos\n")
        << unit + "BSD Name: sdb1\n";
    QTest::addRow("no udev record, disk with a partition")
        << true << false << QByteArray() << unit + "BSD Name: sdb1\n";
    QTest::addRow("udev record without a table")
        << false << false << QByteArray("E:ID_FS_TYPE=vfat\n") << unit + "BSD Name: sdb\n";
}

void DeviceRegistryTest::sysfsPartitionTable()
{
    QFETCH(bool, partitioned);
    QFETCH(bool, tableInUevent);
    QFETCH(QByteArray, udevRecord);
    QFETCH(QByteArray, err);

    PenTestbed testbed;
    testbed.addBus();
    PenTestbed::Pen pen;
    pen.partitioned = partitioned;
    pen.tableInUevent = tableInUevent;
    testbed.addPen(pen);

    QTemporaryDir udevData;
    if (!udevRecord.isEmpty()) {
        QFile record(udevData.filePath(QStringLiteral("b8:16")));
        QVERIFY(record.open(QIODevice::WriteOnly));
        record.write(udevRecord);
    }
    const SysfsRegistry registry(testbed.sysRoot(), udevData.path());
    QCOMPARE(lookUp(registry, { 0x01100000 }).err, err);
}

void DeviceRegistryTest::sysfsEntryVanishingDuringWalk()
{
    // A device unplugged between the listing of its parent's children and its own visit.
    struct VanishingRegistry : SysfsRegistry {
        using SysfsRegistry::SysfsRegistry;
        QString vanishing;
        QStringList children(const QString& entry) const override
        {
            const QStringList list = SysfsRegistry::children(entry);
            if (list.contains(vanishing))
                QDir(vanishing).removeRecursively();
            return list;
        }
    };

    PenTestbed testbed;
    testbed.addBus();
    const QString first
        = testbed.addPen(PenTestbed::Pen { QStringLiteral("1-1"), 2, QStringLiteral("sdb"), 16 });
    testbed.addPen(PenTestbed::Pen { QStringLiteral("1-2"), 3, QStringLiteral("sdc"), 32 });
    VanishingRegistry registry(testbed.sysRoot(), QStringLiteral("/nonexistent"));
    registry.vanishing = testbed.realPath(first);

    const Outcome outcome = lookUp(registry, { 0x01200000 });
    QVERIFY(!QFileInfo::exists(registry.vanishing));
    QCOMPARE(outcome.out,
        QByteArray("Location ID:0x1200000, 0x1200000\nFind Location USB Device\nDevice's name = 3:0:0:0\n"));
    QCOMPARE(outcome.stored, QStringList { QStringLiteral("sdc1") });
}

void DeviceRegistryTest::wholeMachineSnapshot_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("bsdName");

    QTest::addRow("partitioned") << QStringLiteral("sysfs-pen-partitioned.tar.xz") << QStringLiteral("sdb1");
    QTest::addRow("whole-disk file system")
        << QStringLiteral("sysfs-pen-plain.tar.xz") << QStringLiteral("sdb");
}

void DeviceRegistryTest::wholeMachineSnapshot()
{
    QFETCH(QString, archive);
    QFETCH(QString, bsdName);

    // All of a real machine's sysfs, udev database and mount table: endpoint devices beside the
    // SCSI host, class devices beside the bus devices, containers without a bus, and a system
    // disk on ATA that the walk must pass by.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QProcess tar;
    tar.start(QStringLiteral("tar"),
        { QStringLiteral("-xJf"), QStringLiteral(DEVICE_FIXTURES "/") + archive, QStringLiteral("-C"),
            root.path() });
    QVERIFY(tar.waitForFinished(60000));
    QVERIFY2(tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0, tar.readAllStandardError());
    const QString sys = root.filePath(QStringLiteral("sys"));

    // Remembers every entry the walk looked at, to show that the system disk was passed by.
    struct SeeingRegistry : SysfsRegistry {
        using SysfsRegistry::SysfsRegistry;
        mutable QStringList seen;
        QString className(const QString& entry) const override
        {
            seen.append(entry);
            return SysfsRegistry::className(entry);
        }
    };
    const SeeingRegistry registry(sys, root.filePath(QStringLiteral("run/udev/data")));
    QStringList resolved;
    const Outcome outcome = lookUp(registry, { 0x01200000, 0x01100000 }, [&](const QString& name) {
        const QString volume
            = VolumePathForBSDName(name, sys, root.filePath(QStringLiteral("proc/self/mountinfo")));
        resolved.append(name + QLatin1Char('=') + volume);
        return volume;
    });

    QCOMPARE(outcome.out,
        QByteArray("Location ID:0x1100000, 0x1200000\n"
                   "Location ID:0x1100000, 0x1100000\nFind Location USB Device\nDevice's name = 2:0:0:0\n"));
    QCOMPARE(
        outcome.err, "Vendor: vorna\nProduct: Pen\nVersion: 0100\nBSD Name: " + bsdName.toLatin1() + "\n");
    QCOMPARE(outcome.stored, QStringList { bsdName });
    const PenRecord& pen = outcome.records.constFirst();
    QCOMPARE(pen.vendor, QStringLiteral("vorna"));
    QCOMPARE(pen.product, QStringLiteral("Pen"));
    QCOMPARE(pen.revision, QStringLiteral("0100"));
    QCOMPARE(resolved, QStringList { bsdName + QStringLiteral("=/media/MY PEN/") });
    // Both walks went past the ATA disk and its SCSI unit before reaching the pen.
    const QString ataUnit
        = sys + QStringLiteral("/devices/pci0000:00/0000:00:01.1/ata1/host0/target0:0:0/0:0:0:0");
    QCOMPARE(registry.seen.count(ataUnit), 2);
    QCOMPARE(registry.seen.count(ataUnit + QStringLiteral("/block/sda")), 2);

    // The shape the lookup relies on: endpoints gone, the hardware before the kernel's views of
    // it, and bus-less containers replaced by their devices.
    const QString devices = sys + QStringLiteral("/devices");
    const QString interface = devices + QStringLiteral("/platform/dummy_hcd.0/usb1/1-1/1-1:1.0");
    QCOMPARE(registry.children(interface), QStringList { interface + QStringLiteral("/host2") });
    QCOMPARE(registry.children(interface + QStringLiteral("/host2")),
        (QStringList { interface + QStringLiteral("/host2/target2:0:0"),
            interface + QStringLiteral("/host2/scsi_host/host2") }));
    const QStringList top = registry.children(devices);
    QVERIFY(top.contains(devices + QStringLiteral("/platform/dummy_hcd.0")));
    QVERIFY(top.contains(devices + QStringLiteral("/pci0000:00/0000:00:01.1")));
    QVERIFY(!top.contains(devices + QStringLiteral("/platform")));
}

void DeviceRegistryTest::serialFromVolume()
{
    // The serial comes from the volume the resolver names; an unmounted pen reads no file at all,
    // not one of the same relative name in the current directory.
    MemoryRegistry registry;
    addPen(registry, registry.rootEntry(),
        MemoryPen { 0x01100000, QStringLiteral("vorna"), QStringLiteral("disk2"), true });
    addPen(registry, registry.rootEntry(),
        MemoryPen { 0x01200000, QStringLiteral("vorna"), QStringLiteral("disk3"), true });

    QTemporaryDir volume;
    QTemporaryDir workingDir;
    const QByteArray ini = "[Product]\r\nSN=AB12345678901\r\n";
    for (const QString& root : { volume.path(), workingDir.path() }) {
        QVERIFY(QDir(root).mkpath(QStringLiteral("SYS/INI")));
        QFile file(root + QStringLiteral("/SYS/INI/product.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    const QString previous = QDir::currentPath();
    QDir::setCurrent(workingDir.path());
    const Outcome outcome = lookUp(registry, { 0x01100000, 0x01200000 }, [&](const QString& bsdName) {
        return bsdName == QLatin1String("disk2s1") ? volume.path() + QLatin1Char('/') : QString();
    });
    QDir::setCurrent(previous);

    QCOMPARE(outcome.stored, (QStringList { QStringLiteral("disk2s1"), QStringLiteral("disk3s1") }));
    QCOMPARE(outcome.records.at(0).serialText(), QString::fromLatin1(ini.mid(14, 11)));
    QCOMPARE(outcome.records.at(1).serialText(), QString());
}

void DeviceRegistryTest::serialFileThatIsNoFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("FIFO") << "fifo";
    QTest::addRow("link to a file off the pen") << "link";
    QTest::addRow("SYS/INI a link to a folder off the pen") << "folder link";
}

void DeviceRegistryTest::serialFileThatIsNoFile()
{
    // product.ini is opened without following links and without waiting: a FIFO in its place
    // used to freeze the lookup, and with it the window, for good.
    QFETCH(QString, kind);
    QTemporaryDir volume;
    QTemporaryDir outside;
    const QByteArray ini = "[Product]\r\nSN=AB12345678901\r\n";
    QVERIFY(QDir(outside.path()).mkpath(QStringLiteral("INI")));
    QFile real(outside.filePath(QStringLiteral("INI/product.ini")));
    QVERIFY(real.open(QIODevice::WriteOnly));
    real.write(ini);
    real.close();
    const QString path = volume.filePath(QStringLiteral("SYS/INI/product.ini"));
    if (kind == "folder link")
        QVERIFY(QFile::link(outside.path(), volume.filePath(QStringLiteral("SYS"))));
    else
        QVERIFY(QDir(volume.path()).mkpath(QStringLiteral("SYS/INI")));
    if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    if (kind == "link")
        QVERIFY(QFile::link(real.fileName(), path));

    auto registry = std::make_shared<MemoryRegistry>();
    addPen(*registry, registry->rootEntry(),
        MemoryPen { 0x01100000, QStringLiteral("vorna"), QStringLiteral("disk2"), true });
    auto outcome = std::make_shared<Outcome>();
    const QString root = volume.path() + QLatin1Char('/');
    QVERIFY2(
        finishesWithin(std::chrono::seconds(10),
            [=] { *outcome = lookUp(*registry, { 0x01100000 }, [root](const QString&) { return root; }); }),
        "the pen lookup hangs");
    QCOMPARE(outcome->stored, QStringList { QStringLiteral("disk2s1") });
    QCOMPARE(outcome->records.at(0).serialText(), QString());
}

void DeviceRegistryTest::penRecordSerial_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("serial");

    const QByteArray line = "[SYS]\nSerial=ABCDEFGHIJKLMN\n"; // 28 bytes
    QTest::addRow("missing") << QByteArray() << "";
    QTest::addRow("23 bytes") << line.left(23) << "";
    QTest::addRow("24 bytes: 13..23") << line.left(24) << QString::fromLatin1(line.mid(13, 11));
    QTest::addRow("25 bytes: 14..24") << line.left(25) << QString::fromLatin1(line.mid(14, 11));
    QTest::addRow("long file: 14..24")
        << line + QByteArray(500, 'z') << QString::fromLatin1(line.mid(14, 11));
    QTest::addRow("0x00 ends the text") << QByteArray("0123456789abcdABC\0EFGHIJKLM", 27) << "ABC";
    QTest::addRow("line ends are kept") << QByteArray("01234567890123AB\r\nxyzwvQQ") << "AB\r\nxyzwvQQ";
}

void DeviceRegistryTest::penRecordSerial()
{
    QFETCH(QByteArray, ini);
    const PenRecord record = BuildPenRecord("vorna", "Pen", "0100", "sdb1", ini);
    QTEST(record.serialText(), "serial");
    QCOMPARE(record.serial[11], '\0');
    QCOMPARE(record.displayName, QStringLiteral("Zanvi点读笔"));
    QCOMPARE(record.selectorText(), QStringLiteral("Zanvi点读笔 Pen 0100"));
    QCOMPARE(record.bsdName, QStringLiteral("sdb1"));
}

void DeviceRegistryTest::mountInfoLookup_data()
{
    QTest::addColumn<QString>("dev");
    QTest::addColumn<QString>("volume");

    QTest::addRow("blank in the label") << "8:17"
                                        << "/media/MY PEN/";
    QTest::addRow("backslash, tab and non-ASCII") << "8:33"
                                                  << "/media/a\\b\tc 笔/";
    QTest::addRow("bind mount of a subdirectory is not the volume") << "8:49"
                                                                    << "/mnt/whole/";
    QTest::addRow("not mounted") << "8:65"
                                 << "";
}

void DeviceRegistryTest::mountInfoLookup()
{
    QFETCH(QString, dev);
    QTemporaryDir root;
    const QString name = QStringLiteral("sdx");
    writeFile(root.filePath("sys/class/block/sdx/dev"), dev.toLatin1() + '\n');
    writeFile(root.filePath("mountinfo"),
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "90 22 8:17 / /media/MY\\040PEN rw,nosuid shared:2 - vfat /dev/sdb1 rw,flush\n"
        "91 22 8:33 / /media/a\\134b\\011c\\040\xe7\xac\x94 rw - vfat /dev/sdc1 rw\n"
        "92 22 8:49 /sub /mnt/bound rw - ext4 /dev/sdd1 rw\n"
        "93 22 8:49 / /mnt/whole rw - ext4 /dev/sdd1 rw\n");
    QTEST(VolumePathForBSDName(name, root.filePath("sys"), root.filePath("mountinfo")), "volume");
    // Names that could leave the block class directory are refused.
    QCOMPARE(VolumePathForBSDName("../sdx", root.filePath("sys"), root.filePath("mountinfo")), QString());
    QCOMPARE(VolumePathForBSDName(QString(), root.filePath("sys"), root.filePath("mountinfo")), QString());
}

void DeviceRegistryTest::mountInfoOnRealLoopMount()
{
    LoopPen pen("[SYS]\r\nSerial=PEN20261210X\r\n", QStringLiteral("数学"));
    if (!pen.isMounted())
        QSKIP(qPrintable(pen.reason()));
    QCOMPARE(VolumePathForBSDName(pen.loopName()), pen.mountPoint() + "/");
}

void DeviceRegistryTest::humanSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");

    QTest::addRow("nothing") << 0LL << "0 B";
    QTest::addRow("bytes up to 999") << 999LL << "999 B";
    QTest::addRow("1000 bytes are 1 KB") << 1000LL << "1.0 KB";
    QTest::addRow("one decimal") << 1536LL << "1.5 KB";
    QTest::addRow("just below a rollover") << 999949LL << "999.9 KB";
    QTest::addRow("rounding up moves to the next unit") << 999950LL << "1.0 MB";
    QTest::addRow("4 MiB tmpfs") << 4194304LL << "4.2 MB";
    QTest::addRow("a 4 GB pen") << 3900000000LL << "3.9 GB";
    QTest::addRow("gigabytes") << 1234567890LL << "1.2 GB";
    QTest::addRow("terabytes") << 2000000000000LL << "2.0 TB";
    QTest::addRow("negative counts as nothing") << -5LL << "0 B";
}

void DeviceRegistryTest::humanSize()
{
    QFETCH(qint64, bytes);
    QTEST(::humanSize(bytes), "text");
}

QTEST_GUILESS_MAIN(DeviceRegistryTest)
#include "device_registry_test.moc"
