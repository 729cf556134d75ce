#include "SysfsRegistry.h"

#include "PenFile.h"
#include "UsbIds.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {
// Deeper than any real device path; stops a runaway walk on a corrupted tree.
constexpr int MaxLookThroughDepth = 16;
// The kernel hands out at most a page per attribute.
constexpr qint64 MaxAttributeSize = 4096;
constexpr qint64 MaxUdevRecordSize = 64 * 1024;

// Attributes and udev records are regular files. A link or a FIFO in their place (a copied or
// corrupted tree) is not read: it could lead anywhere, or block the lookup for good.
std::optional<QByteArray> readRegular(const QString& path, qint64 limit)
{
    const PenFile file = PenFile::open(path);
    if (!file.isOpen())
        return std::nullopt;
    return readAt(file.fd(), 0, limit);
}

bool isRegular(const QString& path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// An attribute's text without the kernel's line end, or nothing when it cannot be read.
std::optional<QByteArray> readAttribute(const QString& directory, const char* attribute)
{
    auto text = readRegular(directory + QLatin1Char('/') + QLatin1String(attribute), MaxAttributeSize);
    if (text && text->endsWith('\n'))
        text->chop(1);
    return text;
}

// SCSI inquiry strings are blank-padded to their field width by the kernel.
QString scsiString(const QString& directory, const char* attribute)
{
    QByteArray text = readAttribute(directory, attribute).value_or(QByteArray());
    while (text.endsWith(' '))
        text.chop(1);
    return QString::fromLatin1(text);
}

QHash<QByteArray, QByteArray> readUevent(const QString& entry)
{
    QHash<QByteArray, QByteArray> values;
    const QByteArray text = readAttribute(entry, "uevent").value_or(QByteArray());
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            values.insert(line.left(equals), line.mid(equals + 1));
    }
    return values;
}

// Where a directory's `subsystem` link points: a folder in <sys>/bus or in <sys>/class.
enum class Membership { None, Bus, Class };

struct Subsystem {
    Membership membership = Membership::None;
    QString name;
};

Subsystem subsystemOf(const QString& directory)
{
    const QFileInfo link(directory + QStringLiteral("/subsystem"));
    if (!link.isSymLink())
        return {};
    // The target is only read, not visited: it may not even exist in a copied tree.
    const QFileInfo target(link.symLinkTarget());
    const QString kind = QFileInfo(target.path()).fileName();
    return { kind == QLatin1String("class") ? Membership::Class : Membership::Bus, target.fileName() };
}

bool isDevice(const QString& directory) { return isRegular(directory + QStringLiteral("/uevent")); }

enum class Kind { None, MassStorageInterface, LogicalUnit, Media, Other };

struct Derived {
    Kind kind = Kind::None;
    QString subsystem;
    QHash<QByteArray, QByteArray> uevent;
};

Derived derive(const QString& entry)
{
    Derived d;
    if (!isDevice(entry))
        return d;
    d.uevent = readUevent(entry);
    d.subsystem = subsystemOf(entry).name;
    const QByteArray type = d.uevent.value("DEVTYPE");
    if (d.subsystem == QLatin1String("usb") && type == "usb_interface"
        && readAttribute(entry, "bInterfaceClass") == QByteArray("08"))
        d.kind = Kind::MassStorageInterface;
    else if (d.subsystem == QLatin1String("scsi") && type == "scsi_device")
        d.kind = Kind::LogicalUnit;
    else if (d.subsystem == QLatin1String("block") && (type == "disk" || type == "partition"))
        d.kind = Kind::Media;
    else
        d.kind = Kind::Other;
    return d;
}
}

SysfsRegistry::SysfsRegistry(const QString& sysRoot, const QString& udevDataDir)
    : m_devices(sysRoot + QStringLiteral("/devices"))
    , m_udevData(udevDataDir)
{
}

std::optional<QString> SysfsRegistry::root() const
{
    if (!QFileInfo(m_devices).isDir())
        return std::nullopt;
    return m_devices;
}

QStringList SysfsRegistry::children(const QString& entry) const
{
    QStringList busDevices;
    QStringList classDevices;
    collectDevices(entry, busDevices, classDevices, 0);
    return busDevices + classDevices;
}

void SysfsRegistry::collectDevices(
    const QString& directory, QStringList& busDevices, QStringList& classDevices, int depth) const
{
    if (depth > MaxLookThroughDepth)
        return;
    const QFileInfoList entries = QDir(directory).entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    for (const QFileInfo& info : entries) {
        const QString path = info.filePath();
        const Membership membership = isDevice(path) ? subsystemOf(path).membership : Membership::None;
        switch (membership) {
        case Membership::Bus:
            busDevices.append(path);
            break;
        case Membership::Class:
            classDevices.append(path);
            break;
        case Membership::None:
            collectDevices(path, busDevices, classDevices, depth + 1);
            break;
        }
    }
}

QString SysfsRegistry::name(const QString& entry) const
{
    const QFileInfo info(entry);
    return info.isDir() ? info.fileName() : QString();
}

QString SysfsRegistry::className(const QString& entry) const
{
    const Derived d = derive(entry);
    switch (d.kind) {
    case Kind::None:
        return {};
    case Kind::MassStorageInterface:
        return RegistryClass::MassStorageInterface;
    case Kind::LogicalUnit:
        return RegistryClass::LogicalUnit;
    case Kind::Media:
        return RegistryClass::Media;
    case Kind::Other:
        break;
    }
    return d.subsystem;
}

QVariant SysfsRegistry::property(const QString& entry, const QString& key) const
{
    const Derived d = derive(entry);
    switch (d.kind) {
    case Kind::MassStorageInterface:
        if (key == RegistryKey::LocationID) {
            // The interface's parent directory is its USB device.
            const QString device = QFileInfo(entry).path();
            bool ok = false;
            const int bus = readAttribute(device, "busnum").value_or(QByteArray()).trimmed().toInt(&ok);
            const auto devpath = readAttribute(device, "devpath");
            if (!ok || !devpath)
                return {};
            if (const auto location = usbLocationID(bus, QString::fromLatin1(devpath->trimmed())))
                return qint32(*location);
        }
        return {};
    case Kind::LogicalUnit:
        if (key == RegistryKey::Vendor)
            return scsiString(entry, "vendor");
        if (key == RegistryKey::Product)
            return scsiString(entry, "model");
        if (key == RegistryKey::Revision)
            return scsiString(entry, "rev");
        return {};
    case Kind::Media:
        if (key == RegistryKey::BSDName)
            return QFileInfo(entry).fileName();
        if (key == RegistryKey::Content)
            return d.uevent.value("DEVTYPE") == "disk" ? partitionTableContent(entry, d.uevent) : QString();
        return {};
    case Kind::None:
    case Kind::Other:
        break;
    }
    return {};
}

QString SysfsRegistry::partitionTableContent(
    const QString& entry, const QHash<QByteArray, QByteArray>& uevent) const
{
    // udev's probe of the disk says which table it holds. The kernel's uevent does not carry
    // it; udev keeps it in its database (a mocked tree may carry it in the uevent).
    std::optional<QByteArray> table;
    if (uevent.contains("ID_PART_TABLE_TYPE")) {
        table = uevent.value("ID_PART_TABLE_TYPE");
    } else if (uevent.contains("MAJOR") && uevent.contains("MINOR")) {
        const auto database
            = readRegular(m_udevData + QStringLiteral("/b") + QString::fromLatin1(uevent.value("MAJOR"))
                    + QLatin1Char(':') + QString::fromLatin1(uevent.value("MINOR")),
                MaxUdevRecordSize);
        if (database) {
            table = QByteArray();
            for (const QByteArray& line : database->split('\n')) {
                if (line.startsWith("E:ID_PART_TABLE_TYPE="))
                    table = line.mid(int(sizeof("E:ID_PART_TABLE_TYPE=")) - 1);
            }
        }
    }
    if (!table) {
        // No record from udev: a disk with partitions has a table of some kind.
        const QFileInfoList below
            = QDir(entry).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (const QFileInfo& info : below) {
            if (isRegular(info.filePath() + QStringLiteral("/partition")))
                return MediaContent::MBR;
        }
        return {};
    }
    if (*table == "dos")
        return MediaContent::MBR;
    if (*table == "gpt")
        return MediaContent::GPT;
    return {};
}
