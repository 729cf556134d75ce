#pragma once

#include "DeviceRegistry.h"

#include <QString>

#include <functional>

class DiskService;

// Finds the volume of a pen by the location ID of its USB device: walks the device registry
// to the device's mass-storage interface, reads the SCSI identification and the block device
// below it, and stores an accepted pen (vendor "vorna") with the serial read from its volume
// in the pen registry of penHost().
class PenLookup {
public:
    using VolumePathResolver = std::function<QString(const QString& bsdName)>;

    // `disks` mounts a pen whose volume is not mounted; it may be null.
    PenLookup(const DeviceRegistry& registry, VolumePathResolver volumePath, DiskService* disks);

    struct Identification {
        QString vendor;
        QString product;
        QString revision;
        QString bsdName;
    };

    void findLocationID(quint32 wanted);
    // Visits `entry` with its subtree, then each entry that `siblings` still yields with its
    // subtree. An empty entry ends the call.
    void loopFindID(RegistryIterator* siblings, const QString& entry, quint32 wanted);
    void ReadUnitAndMedia(Identification& collected, RegistryIterator* siblings, const QString& entry);

private:
    void storePen(const QString& firstChildOfInterface);
    QString mountedVolume(const QString& bsdName);

    const DeviceRegistry& m_registry;
    VolumePathResolver m_volumePath;
    DiskService* m_disks = nullptr;
};
