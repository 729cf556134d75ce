#pragma once

#include "DeviceRegistry.h"

#include <QString>

#include <functional>

// Finds the volume of a pen by the location ID of its USB device: walks the device registry
// to the device's mass-storage interface, reads the SCSI identification and the block device
// below it, and stores an accepted pen (vendor "vorna") with the serial read from its volume
// in the pen registry of penHost(). A pen whose volume is not mounted is stored with an empty
// serial; the controller mounts it and reads the serial once the volume is there.
class PenLookup {
public:
    using VolumePathResolver = std::function<QString(const QString& bsdName)>;

    PenLookup(const DeviceRegistry& registry, VolumePathResolver volumePath);

    struct Identification {
        QString vendor;
        QString product;
        QString revision;
        QString bsdName;
    };

    // Returns the BSD name under which a pen was stored, or an empty string.
    QString findLocationID(quint32 wanted);
    // Visits `entry` with its subtree, then each entry that `siblings` still yields with its
    // subtree. An empty entry ends the call.
    void loopFindID(RegistryIterator* siblings, const QString& entry, quint32 wanted);
    void ReadUnitAndMedia(Identification& collected, RegistryIterator* siblings, const QString& entry);

private:
    void storePen(const QString& firstChildOfInterface);

    const DeviceRegistry& m_registry;
    VolumePathResolver m_volumePath;
    QString m_stored; // BSD name of the pen stored by the current findLocationID
};
