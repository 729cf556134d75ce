#pragma once

#include "DeviceRegistry.h"

#include <QHash>

// The device tree of a Linux machine, read from sysfs below <sys>/devices.
//
// An entry is a device directory (one with a `uevent` file) that belongs to a bus or a class,
// i.e. has a `subsystem` link; it is named after its directory. Everything else is looked
// through, so that its device children take its place:
// - directories that are not devices (`block/`, `scsi_host/`, `power/`);
// - devices of neither bus nor class: the USB endpoints `ep_XX` that the kernel hangs below
//   every USB device and interface, and containers such as `devices/platform` and
//   `devices/pci0000:00`. The endpoints have nothing below them and so vanish; a container's
//   devices move up to its parent.
// An entry's children are the nearest entries below it: first the bus devices, then the class
// devices (`scsi_host/host2`, `block/sdb`, `bsg/...`, `scsi_generic/sg1`), each group in name
// order. A bus child is the hardware hanging below a device, a class child one of the kernel's
// views of it; the lookup follows only the first child of a mass-storage interface, which is
// thereby the SCSI host and not an endpoint or a view.
// Symbolic links are never followed: sysfs is full of links back up the tree.
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
    void collectDevices(
        const QString& directory, QStringList& busDevices, QStringList& classDevices, int depth) const;
    QString partitionTableContent(const QString& entry, const QHash<QByteArray, QByteArray>& uevent) const;

    QString m_devices;
    QString m_udevData;
};
