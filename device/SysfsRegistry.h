#pragma once

#include "DeviceRegistry.h"

#include <QHash>

// The device tree of a Linux machine, read from sysfs. Every device directory below
// <sys>/devices (one with a `uevent` file) is an entry named after its directory; its children
// are the nearest device directories below it in name order, looking through directories
// such as `block/` or `power/` that are not devices themselves. Symbolic links are never
// followed: sysfs is full of links back up the tree.
//
// Classes and properties are derived from what the kernel and udev say of the device:
// a mass-storage USB interface, a SCSI logical unit with its inquiry strings, and block disks
// and partitions with their kernel name and partition table.
class SysfsRegistry : public DeviceRegistry {
public:
    explicit SysfsRegistry(const QString& sysRoot = QStringLiteral("/sys"),
        const QString& udevDataDir = QStringLiteral("/run/udev/data"));

    std::optional<QString> root() const override;
    QStringList children(const QString& entry) const override;
    QString name(const QString& entry) const override;
    QString className(const QString& entry) const override;
    QVariant property(const QString& entry, const QString& key) const override;
    QString location() const override { return m_devices; }

private:
    void collectDevices(const QString& directory, QStringList& devices, int depth) const;
    QString partitionTableContent(const QString& entry, const QHash<QByteArray, QByteArray>& uevent) const;

    QString m_devices;
    QString m_udevData;
};
