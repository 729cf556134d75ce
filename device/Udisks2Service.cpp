#include "DiskService.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {
const QString Service = QStringLiteral("org.freedesktop.UDisks2");
const QString ManagerPath = QStringLiteral("/org/freedesktop/UDisks2");
const QString BlockPathPrefix = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString BlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString FilesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString DriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString ObjectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");

// Unmounting flushes what is still cached for the pen, which takes a while on slow flash.
constexpr int SlowCallTimeoutMs = 5 * 60 * 1000;

using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;

// udisks2 names objects with every byte outside [A-Za-z0-9_] escaped as _xx.
QString blockObjectPath(const QString& bsdName)
{
    QString path = BlockPathPrefix;
    for (const char c : bsdName.toUtf8()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            path += QLatin1Char(c);
        else
            path += QStringLiteral("_%1").arg(uint(quint8(c)), 2, 16, QLatin1Char('0'));
    }
    return path;
}

// A property value as QtDBus hands it over: already demarshalled, or still a QDBusArgument.
template <typename T> T fromDBus(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<T>())
        return value.value<T>();
    T result {};
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        value.value<QDBusArgument>() >> result;
    return result;
}

bool hasMountPoint(const QVariantMap& filesystem)
{
    const QByteArrayList mountPoints
        = fromDBus<QByteArrayList>(filesystem.value(QStringLiteral("MountPoints")));
    for (const QByteArray& mountPoint : mountPoints) {
        if (!mountPoint.isEmpty() && mountPoint != QByteArray(1, '\0'))
            return true;
    }
    return false;
}

class Udisks2Service : public DiskService {
public:
    bool ejectDrive(const QString& bsdName, QString* error) override;
    QString mountFilesystem(const QString& bsdName, QString* error) override;

private:
    // Calls a method of udisks2; on failure says why in `error` and returns nothing.
    std::optional<QDBusMessage> call(const QString& path, const QString& interface, const QString& method,
        const QVariantList& arguments, QString* error, int timeout = -1) const;
};

std::optional<QDBusMessage> Udisks2Service::call(const QString& path, const QString& interface,
    const QString& method, const QVariantList& arguments, QString* error, int timeout) const
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        if (error)
            *error = QStringLiteral("no system bus: %1").arg(bus.lastError().message());
        return std::nullopt;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(Service, path, interface, method);
    message.setArguments(arguments);
    // Never ask for a password: the pen's user is at the desk, a dialog would only hang here.
    message.setInteractiveAuthorizationAllowed(false);
    const QDBusMessage reply = bus.call(message, QDBus::Block, timeout);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (error)
            *error = QStringLiteral("%1.%2 on %3: %4 (%5)")
                         .arg(interface, method, path, reply.errorMessage(), reply.errorName());
        return std::nullopt;
    }
    return reply;
}

bool Udisks2Service::ejectDrive(const QString& bsdName, QString* error)
{
    const QString block = blockObjectPath(bsdName);
    const auto driveReply = call(block, PropertiesInterface, QStringLiteral("Get"),
        { BlockInterface, QStringLiteral("Drive") }, error);
    if (!driveReply)
        return false;
    const QDBusObjectPath drive
        = fromDBus<QDBusObjectPath>(driveReply->arguments().value(0).value<QDBusVariant>().variant());
    if (drive.path().isEmpty() || drive.path() == QLatin1String("/")) {
        if (error)
            *error = QStringLiteral("/dev/%1 belongs to no drive").arg(bsdName);
        return false;
    }

    const auto objectsReply
        = call(ManagerPath, ObjectManagerInterface, QStringLiteral("GetManagedObjects"), {}, error);
    if (!objectsReply)
        return false;
    ManagedObjects objects;
    objectsReply->arguments().value(0).value<QDBusArgument>() >> objects;

    // Every mounted file system of the drive, the pen's own and any other partition's.
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const InterfaceProperties& interfaces = it.value();
        if (!interfaces.contains(BlockInterface) || !interfaces.contains(FilesystemInterface))
            continue;
        if (fromDBus<QDBusObjectPath>(interfaces.value(BlockInterface).value(QStringLiteral("Drive")))
            != drive)
            continue;
        if (!hasMountPoint(interfaces.value(FilesystemInterface)))
            continue;
        // Not forced: a file still open on the pen makes the eject fail, not lose data.
        if (!call(it.key().path(), FilesystemInterface, QStringLiteral("Unmount"), { QVariantMap() }, error,
                SlowCallTimeoutMs))
            return false;
    }

    const bool canPowerOff
        = objects.value(drive).value(DriveInterface).value(QStringLiteral("CanPowerOff")).toBool();
    return call(drive.path(), DriveInterface,
        canPowerOff ? QStringLiteral("PowerOff") : QStringLiteral("Eject"), { QVariantMap() }, error,
        SlowCallTimeoutMs)
        .has_value();
}

QString Udisks2Service::mountFilesystem(const QString& bsdName, QString* error)
{
    const QVariantMap options { { QStringLiteral("auth.no_user_interaction"), true } };
    const auto reply = call(blockObjectPath(bsdName), FilesystemInterface, QStringLiteral("Mount"),
        { options }, error, SlowCallTimeoutMs);
    if (!reply)
        return {};
    const QString mountPoint = reply->arguments().value(0).toString();
    if (mountPoint.isEmpty() && error)
        *error = QStringLiteral("udisks2 mounted /dev/%1 but named no mount point").arg(bsdName);
    return mountPoint;
}
}

std::unique_ptr<DiskService> createSystemDiskService() { return std::make_unique<Udisks2Service>(); }
